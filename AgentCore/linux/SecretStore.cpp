// GLib's headers must come before Qt's: gio declares members named `signals`.
#include <libsecret/secret.h>

#include "SecretStore.h"

#include "FreeWith.h"
#include "Log.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace core::SecretStore {

namespace {

using ServicePtr = std::unique_ptr<SecretService, FreeWith<g_object_unref>>;
using CollectionPtr = std::unique_ptr<SecretCollection, FreeWith<g_object_unref>>;
using ItemPtr = std::unique_ptr<SecretItem, FreeWith<g_object_unref>>;
using ValuePtr = std::unique_ptr<SecretValue, FreeWith<secret_value_unref>>;
using TablePtr = std::unique_ptr<GHashTable, FreeWith<g_hash_table_unref>>;

struct ErrorHolder {
    GError* error = nullptr;
    ~ErrorHolder() { g_clear_error(&error); }
    QString text() const { return error ? QString::fromUtf8(error->message) : QStringLiteral("unknown error"); }
};

// Every keyring call of one operation runs under one deadline: a daemon that stopped answering
// (hung, or gone while D-Bus still waits for it) would otherwise hold the caller, the main thread,
// for D-Bus's own 25 s per call. A watchdog thread cancels the calls when the time is up.
class Deadline {
public:
    static constexpr int kMs = 3000;

    Deadline()
        : cancellable_(g_cancellable_new())
        , watchdog_([this] {
            std::unique_lock lock(mutex_);
            if (!wake_.wait_for(lock, std::chrono::milliseconds(kMs), [this] { return done_; }))
                g_cancellable_cancel(cancellable_.get());
        })
    {
    }
    ~Deadline()
    {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        wake_.notify_one();
        watchdog_.join();
    }
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

    GCancellable* get() const { return cancellable_.get(); }
    bool expired() const { return g_cancellable_is_cancelled(cancellable_.get()); }

private:
    std::unique_ptr<GCancellable, FreeWith<g_object_unref>> cancellable_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread watchdog_;
};

// Why an operation failed, in words for the log.
QString failure(const Deadline& deadline, const QString& error)
{
    if (deadline.expired())
        return QStringLiteral("the keyring did not answer within %1 s").arg(Deadline::kMs / 1000);
    return error;
}

struct ItemList {
    GList* list = nullptr;
    ~ItemList() { g_list_free_full(list, g_object_unref); }
};

const SecretSchema* schema()
{
    static const SecretSchema s = [] {
        SecretSchema v{};
        v.name = "com.nembi.remote-agent.Secret";
        v.flags = SECRET_SCHEMA_NONE;
        v.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
        v.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
        return v;
    }();
    return &s;
}

// The table borrows the UTF-8 buffers, which the caller keeps alive.
TablePtr attributes(const QByteArray& service, const QByteArray& account)
{
    TablePtr table(g_hash_table_new(g_str_hash, g_str_equal));
    g_hash_table_insert(table.get(), const_cast<char*>("service"), const_cast<char*>(service.constData()));
    g_hash_table_insert(table.get(), const_cast<char*>("account"), const_cast<char*>(account.constData()));
    return table;
}

ServicePtr connect(const Deadline& d, ErrorHolder& e)
{
    return ServicePtr(secret_service_get_sync(SECRET_SERVICE_NONE, d.get(), &e.error));
}

// Every item under the attributes; secrets are loaded for unlocked items only (no prompts).
ItemList search(SecretService* service, GHashTable* attrs, SecretSearchFlags flags, const Deadline& d, ErrorHolder& e)
{
    ItemList items;
    items.list = secret_service_search_sync(service, schema(), attrs,
                                            static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | flags), d.get(),
                                            &e.error);
    return items;
}

} // namespace

std::optional<QByteArray> read(const QString& service, const QString& account)
{
    const Deadline deadline;
    ErrorHolder e;
    const ServicePtr connection = connect(deadline, e);
    if (!connection) {
        log(QStringLiteral("keychain read failed (") + failure(deadline, e.text()) + QLatin1Char(')'));
        return std::nullopt;
    }
    const QByteArray s = service.toUtf8(), a = account.toUtf8();
    const TablePtr attrs = attributes(s, a);
    const ItemList items = search(connection.get(), attrs.get(), SECRET_SEARCH_LOAD_SECRETS, deadline, e);
    if (e.error) {
        log(QStringLiteral("keychain read failed (") + failure(deadline, e.text()) + QLatin1Char(')'));
        return std::nullopt;
    }
    for (GList* node = items.list; node; node = node->next) {
        auto* item = static_cast<SecretItem*>(node->data);
        if (secret_item_get_locked(item))
            continue;
        const ValuePtr value(secret_item_get_secret(item));
        if (!value)
            continue;
        gsize length = 0;
        const gchar* data = secret_value_get(value.get(), &length);
        return QByteArray(data, static_cast<qsizetype>(length));
    }
    return std::nullopt;
}

std::optional<QString> write(const QString& service, const QString& account, const QString& label,
                             const QByteArray& value)
{
    const Deadline deadline;
    ErrorHolder e;
    const ServicePtr connection = connect(deadline, e);
    if (!connection)
        return failure(deadline, e.text());
    const CollectionPtr collection(secret_collection_for_alias_sync(connection.get(), SECRET_COLLECTION_DEFAULT,
                                                                    SECRET_COLLECTION_NONE, deadline.get(), &e.error));
    if (!collection)
        return e.error ? failure(deadline, e.text()) : QStringLiteral("no default keyring");
    // Writing into a locked keyring would ask the user to unlock it; the agent never prompts.
    if (secret_collection_get_locked(collection.get()))
        return QStringLiteral("keyring is locked");

    const QByteArray s = service.toUtf8(), a = account.toUtf8(), l = label.toUtf8();
    const TablePtr attrs = attributes(s, a);
    const ValuePtr secret(secret_value_new(value.constData(), value.size(), "application/octet-stream"));
    // REPLACE swaps the value of an existing item in place: there is no moment without one.
    const ItemPtr item(secret_item_create_sync(collection.get(), schema(), attrs.get(), l.constData(), secret.get(),
                                               SECRET_ITEM_CREATE_REPLACE, deadline.get(), &e.error));
    if (!item)
        return failure(deadline, e.text());
    return std::nullopt;
}

void remove(const QString& service, const QString& account)
{
    const Deadline deadline;
    ErrorHolder e;
    const ServicePtr connection = connect(deadline, e);
    if (!connection) {
        log(QStringLiteral("keychain delete failed (") + failure(deadline, e.text()) + QLatin1Char(')'));
        return;
    }
    const QByteArray s = service.toUtf8(), a = account.toUtf8();
    const TablePtr attrs = attributes(s, a);
    const ItemList items = search(connection.get(), attrs.get(), SECRET_SEARCH_NONE, deadline, e);
    if (e.error) {
        log(QStringLiteral("keychain delete failed (") + failure(deadline, e.text()) + QLatin1Char(')'));
        return;
    }
    for (GList* node = items.list; node; node = node->next) {
        auto* item = static_cast<SecretItem*>(node->data);
        if (secret_item_get_locked(item))
            continue;
        ErrorHolder ignored;
        secret_item_delete_sync(item, deadline.get(), &ignored.error);
    }
}

} // namespace core::SecretStore
