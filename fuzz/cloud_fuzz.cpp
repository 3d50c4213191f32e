// The cloud service's replies, delivered through a sender that answers at once: the first two bytes
// are the HTTP status, the rest the body. Each completion must run exactly once.
#include "CloudAPI.h"
#include "Json.h"
#include "Log.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace core;

namespace {

template <typename T> std::function<void(Outcome<T>)> once(int& calls)
{
    return [&calls](Outcome<T>) { ++calls; };
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const HttpResponse response{data[0] * 256 + data[1],
                                QByteArray(reinterpret_cast<const char*>(data + 2), static_cast<qsizetype>(size - 2))};
    try {
        (void)CloudAPI::decodePoll(response.body);
    } catch (const json::DecodeError&) {
    } catch (const AgentError&) {
    }

    static const HttpResponse* current = nullptr;
    static const CloudAPI api(QUrl(CloudAPI::production), [](const HttpRequest&, CloudAPI::Reply reply) {
        reply(Outcome<HttpResponse>::success(*current));
    });
    current = &response;
    int calls = 0;
    const MacDetails details;
    api.registerCode(QStringLiteral("ABC123"), QStringLiteral("secret"), QStringLiteral("token"), details, once<bool>(calls));
    api.poll(QStringLiteral("ABC123"), QStringLiteral("secret"), once<CloudAPI::Poll>(calls));
    api.status(QStringLiteral("token"), once<bool>(calls));
    api.update(QStringLiteral("token"), details, once<std::monostate>(calls));
    api.unpair(QStringLiteral("token"), once<std::monostate>(calls));
    if (calls != 5)
        std::abort();
    return 0;
}
