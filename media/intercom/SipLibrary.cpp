#include "media/intercom/SipLibrary.h"

#include "platform/log.h"
#include "platform/modules.h"

namespace sip {

Error::Error(ErrorKind k, std::string t, std::string r)
    : std::runtime_error(r + " (" + t + ")"), kind(k), title(std::move(t)), reason(std::move(r)) {}

std::string Error::info() const { return reason + " (" + title + ")"; }

Account::~Account() = default;

void Account::create(const AccountConfig& config, bool makeDefault) {
    backend_ = Endpoint::instance().createAccount(*this, config, makeDefault);
}

AccountInfo Account::getInfo() const {
    if (!backend_) throw Error(ErrorKind::General, "Account::getInfo", "Account not created");
    return backend_->getInfo();
}

Call::Call(Account& account, int /*callId*/) : backend_(Endpoint::instance().createCall(*this, account)) {}

Call::~Call() = default;

void Call::makeCall(const std::string& uri, const CallOpParam& param) { backend_->makeCall(uri, param); }
CallInfo Call::getInfo() const { return backend_->getInfo(); }
AudioMedia& Call::getAudioMedia(int index) const { return backend_->getAudioMedia(index); }
std::string Call::streamCodecName(int index) const { return backend_->streamCodecName(index); }

namespace {

// Without a SIP library (none in the build, or its module cannot be loaded) every operation
// fails in an orderly way.
class UnavailableEndpoint : public Endpoint {
    [[noreturn]] static void fail(const char* op) {
        throw Error(ErrorKind::NoLibrary, op, "No SIP library in this build");
    }
    struct NullMedia : AudioMedia {
        void startTransmit(AudioMedia&) override {}
        void stopTransmit(AudioMedia&) override {}
        void adjustTxLevel(float) override {}
        void adjustRxLevel(float) override {}
        float txLevelAdjustment() const override { return 1.0f; }
        float rxLevelAdjustment() const override { return 1.0f; }
    } media_;

public:
    void libCreate() override { fail("libCreate"); }
    void libInit(const EndpointConfig&) override { fail("libInit"); }
    void transportCreate(TransportType, const TransportConfig&) override { fail("transportCreate"); }
    void libStart() override { fail("libStart"); }
    void libDestroy() override {}
    bool libIsCreated() const override { return false; }
    void handleEvents() override {}
    std::vector<CodecInfo> codecEnum() override { fail("codecEnum"); }
    void codecSetPriority(const std::string&, int) override { fail("codecSetPriority"); }
    void natDetectType() override { fail("natDetectType"); }
    void hangupAllCalls() override {}
    AudioMedia& getCaptureDevMedia() override { return media_; }
    AudioMedia& getPlaybackDevMedia() override { return media_; }
    bool hasSoundDevices() const override { return false; }
    std::unique_ptr<AccountBackend> createAccount(Account&, const AccountConfig&, bool) override {
        fail("Account::create");
    }
    std::unique_ptr<CallBackend> createCall(Call&, Account&) override { fail("Call"); }
};

#ifdef KIVANO_HAVE_LINPHONE
// The SIP back end's module, beside the library holding this code (the build folder, or the
// installed library folder).
Endpoint* loadModule() {
    std::string folder = platform::codeLibraryFolder();
    if (folder.empty()) return nullptr;
    std::string path = folder + "/libkivano_sip.so";
    std::string why;
    void* symbol = platform::loadModuleSymbol(path, "kivano_sip_endpoint", &why);
    if (!symbol) {
        platform::logf("SIP library module %s cannot be loaded: %s", path, why);
        return nullptr;
    }
    using Factory = Endpoint* (*)();
    auto factory = reinterpret_cast<Factory>(symbol);
    return factory ? factory() : nullptr;
}
#endif

}  // namespace

Endpoint& Endpoint::instance() {
    // Made once, at the first use, and kept to the end of the process, past every static that
    // may still hold a call (the module is never unloaded).
    static Endpoint* ep = [] () -> Endpoint* {
#ifdef KIVANO_HAVE_LINPHONE
        if (Endpoint* loaded = loadModule()) return loaded;
#endif
        return new UnavailableEndpoint;
    }();
    return *ep;
}

}  // namespace sip
