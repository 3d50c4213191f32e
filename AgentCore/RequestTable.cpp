#include "RequestTable.h"

namespace core {

void RequestTable::add(const QString& type, Handler handler)
{
    Q_ASSERT(!handlers_.contains(type));
    handlers_.insert(type, std::move(handler));
}

const RequestTable::Handler* RequestTable::find(const QString& type) const
{
    const auto it = handlers_.constFind(type);
    return it == handlers_.constEnd() ? nullptr : &it.value();
}

} // namespace core
