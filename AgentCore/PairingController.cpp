#include "PairingController.h"

#include <QPointer>

namespace core {

namespace {

void finish(const PairingController::Done& done)
{
    if (done)
        done();
}

} // namespace

PairingController::PairingController(CloudAPI api, std::unique_ptr<LinkStore> store, Clock now, QObject* parent)
    : QObject(parent)
    , api_(std::move(api))
    , store_(std::move(store))
    , now_(std::move(now))
    , linked_(store_->load())
    , pendingUnpair_(store_->loadPendingUnpair())
{
}

PairingController::~PairingController() = default;

std::optional<QString> PairingController::shownCode() const
{
    if (showing_ && showing_->expiresAt > now_())
        return showing_->code;
    return std::nullopt;
}

std::optional<QString> PairingController::admittedCode() const
{
    if (auto code = shownCode())
        return code;
    if (claimed_ && claimed_->expiresAt > now_())
        return claimed_->code;
    return std::nullopt;
}

void PairingController::show()
{
    if (showing_ && showing_->expiresAt > now_())
        return;
    const QString token = linked_ ? linked_->token : PairCode::secret();
    showing_ = Showing{PairCode::make(), PairCode::secret(), token, now_().addSecs(codeLifetime), false};
    onChange();
}

void PairingController::hide()
{
    showing_.reset();
    onChange();
}

void PairingController::renew()
{
    showing_.reset();
    show();
}

bool PairingController::stillShowing(const Showing& sent) const
{
    return showing_ && showing_->code == sent.code && showing_->secret == sent.secret;
}

void PairingController::tick(const MacDetails& details, Done done)
{
    QPointer<PairingController> self(this);
    flushUnpair([self, details, done = std::move(done)] {
        if (self)
            self->step(details, done);
    });
}

void PairingController::step(const MacDetails& details, Done done)
{
    if (!showing_)
        return finish(done);
    if (!(showing_->expiresAt > now_())) {
        renew();
        return finish(done);
    }
    QPointer<PairingController> self(this);
    const Showing sent = *showing_;
    if (!sent.registered) {
        api_.registerCode(sent.code, sent.secret, sent.token, details, [self, sent, done](Outcome<bool> outcome) {
            if (!self)
                return;
            self->registered(sent, outcome);
            finish(done);
        });
        return;
    }
    api_.poll(sent.code, sent.secret, [self, sent, details, done](Outcome<CloudAPI::Poll> outcome) {
        if (!self)
            return;
        self->polled(sent, details, outcome);
        finish(done);
    });
}

void PairingController::registered(const Showing& sent, const Outcome<bool>& outcome)
{
    // A code hidden or replaced meanwhile is not touched by the late answer; errors retry on the next tick.
    if (!stillShowing(sent) || !outcome.ok())
        return;
    if (*outcome.value)
        showing_->registered = true;
    else
        renew();
}

void PairingController::polled(const Showing& sent, const MacDetails& details, const Outcome<CloudAPI::Poll>& outcome)
{
    if (!stillShowing(sent) || !outcome.ok())
        return;
    const CloudAPI::Poll& poll = *outcome.value;
    switch (poll.kind) {
    case CloudAPI::Poll::Kind::pending:
        return;
    case CloudAPI::Poll::Kind::expired:
        return renew();
    case CloudAPI::Poll::Kind::claimed:
        break;
    }
    const Linked link{poll.macId, poll.owner, poll.email, showing_->token, details};
    const bool ownerChanged = linked_ && linked_->owner != poll.owner;
    store_->save(link);
    linked_ = link;
    claimed_ = Claimed{showing_->code, showing_->expiresAt};
    showing_.reset();
    QPointer<PairingController> self(this);
    if (ownerChanged)
        onOwnerChanged();
    if (self)
        onChange();
}

void PairingController::check(Done done)
{
    if (!linked_)
        return finish(done);
    QPointer<PairingController> self(this);
    const QString token = linked_->token;
    api_.status(token, [self, token, done = std::move(done)](Outcome<bool> outcome) {
        if (!self)
            return;
        if (outcome.ok() && !*outcome.value && self->linked_ && self->linked_->token == token) {
            self->store_->clear();
            self->linked_.reset();
            self->claimed_.reset();
            self->onUnlinked();
            if (self)
                self->onChange();
            if (self)
                self->onUnpairedRemotely();
        }
        finish(done);
    });
}

void PairingController::unpair()
{
    if (!linked_)
        return;
    const QString token = linked_->token;
    store_->clear();
    linked_.reset();
    claimed_.reset();
    showing_.reset();
    pendingUnpair_ = token;
    store_->savePendingUnpair(token);
    QPointer<PairingController> self(this);
    onUnlinked();
    if (!self)
        return;
    onChange();
    if (self)
        self->flushUnpair();
}

void PairingController::flushUnpair(Done done)
{
    if (!pendingUnpair_)
        return finish(done);
    QPointer<PairingController> self(this);
    const QString token = *pendingUnpair_;
    api_.unpair(token, [self, token, done = std::move(done)](Outcome<std::monostate> outcome) {
        if (!self)
            return;
        // A failure keeps the token for the next attempt.
        if (outcome.ok() && self->pendingUnpair_ == token) {
            self->pendingUnpair_.reset();
            self->store_->savePendingUnpair(std::nullopt);
        }
        finish(done);
    });
}

void PairingController::sync(const MacDetails& details, Done done)
{
    if (!linked_ || linked_->details == details)
        return finish(done);
    QPointer<PairingController> self(this);
    const QString token = linked_->token;
    api_.update(token, details, [self, token, details, done = std::move(done)](Outcome<std::monostate> outcome) {
        if (!self)
            return;
        if (outcome.ok() && self->linked_ && self->linked_->token == token) {
            self->linked_->details = details;
            self->store_->save(*self->linked_);
        }
        finish(done);
    });
}

} // namespace core
