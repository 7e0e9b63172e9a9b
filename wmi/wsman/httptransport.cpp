#include "wmi/wsman/httptransport.h"

#include <curl/curl.h>
#include <strings.h>

#include <mutex>

namespace wmi::wsman {

namespace {

// Idle handles kept per transport; more calls at once make more handles,
// which are closed when given back beyond this.
constexpr size_t kMaxIdle = 8;

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Collected {
    std::string body;
    size_t limit = 0;
    bool tooLarge = false;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* collected = static_cast<Collected*>(user);
    size_t n = size * count;
    if (collected->body.size() + n > collected->limit) {
        collected->tooLarge = true;
        return 0;  // ends the transfer with CURLE_WRITE_ERROR
    }
    collected->body.append(data, n);
    return n;
}

bool IsSoapType(const char* type) {
    return type != nullptr && strncasecmp(type, "application/soap+xml", 20) == 0;
}

}  // namespace

Transport::Transport(std::string h, TransportSettings s, std::string u, std::string p)
    : host(std::move(h)),
      settings(std::move(s)),
      user(std::move(u)),
      password(std::move(p)),
      url(std::string(settings.https ? "https://" : "http://") + host + ":" +
          std::to_string(settings.port) + "/wsman") {
    GlobalInit();
}

Transport::~Transport() {
    platform::MutexLock guard(lock);
    for (void* handle : idle) curl_easy_cleanup(static_cast<CURL*>(handle));
    idle.clear();
}

void* Transport::TakeHandle() {
    {
        platform::MutexLock guard(lock);
        if (!idle.empty()) {
            void* handle = idle.back();
            idle.pop_back();
            return handle;
        }
    }
    CURL* curl = curl_easy_init();
    if (curl == nullptr) return nullptr;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, settings.https ? "https" : "http");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(settings.connectTimeoutMs));
    curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
    if (settings.https) {
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, settings.verifyPeer ? 1L : 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, settings.verifyPeer ? 2L : 0L);
        if (!settings.caFile.empty())
            curl_easy_setopt(curl, CURLOPT_CAINFO, settings.caFile.c_str());
    }
    long methods = CURLAUTH_BASIC;
    if (settings.auth == "negotiate" || settings.auth == "kerberos") {
        methods = CURLAUTH_NEGOTIATE;
    } else if (settings.auth == "ntlm") {
        methods = CURLAUTH_NTLM;
    }
    if (!user.empty() || methods != CURLAUTH_BASIC) {
        curl_easy_setopt(curl, CURLOPT_HTTPAUTH, methods);
        // Negotiate without a user takes the process's own Kerberos
        // credentials; libcurl wants a (blank) user name to try at all.
        curl_easy_setopt(curl, CURLOPT_USERNAME, user.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, password.c_str());
    }
    return curl;
}

void Transport::GiveBack(void* handle) {
    {
        platform::MutexLock guard(lock);
        if (idle.size() < kMaxIdle) {
            idle.push_back(handle);
            return;
        }
    }
    curl_easy_cleanup(static_cast<CURL*>(handle));
}

HttpOutcome Transport::Post(const std::string& envelope, int64_t timeoutMs) {
    HttpOutcome outcome;
    auto* curl = static_cast<CURL*>(TakeHandle());
    if (curl == nullptr) {
        outcome.kind = HttpOutcome::Kind::Unreachable;
        outcome.error = "cannot create an HTTP handle";
        return outcome;
    }
    Collected collected;
    collected.limit = settings.maxResponse;
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, "Content-Type: application/soap+xml;charset=UTF-8");
    headers = curl_slist_append(headers, "Expect:");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, envelope.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(envelope.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &collected);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs));
    char message[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, message);
    CURLcode code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &outcome.status);
    char* type = nullptr;
    curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &type);
    const std::string contentType = type != nullptr ? type : "";
    const bool soap = IsSoapType(type);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    curl_slist_free_all(headers);
    std::string detail = message[0] != '\0' ? message : curl_easy_strerror(code);

    switch (code) {
        case CURLE_OK:
            break;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
            outcome.kind = HttpOutcome::Kind::Certificate;
            outcome.error = detail;
            break;
        case CURLE_PARTIAL_FILE:
            outcome.kind = HttpOutcome::Kind::BadAnswer;
            outcome.error = "answer cut off: " + detail;
            break;
        case CURLE_WRITE_ERROR:
            if (collected.tooLarge) {
                outcome.kind = HttpOutcome::Kind::BadAnswer;
                outcome.error =
                    "answer larger than " + std::to_string(settings.maxResponse) + " bytes";
                break;
            }
            [[fallthrough]];
        default:
            outcome.kind = HttpOutcome::Kind::Unreachable;
            outcome.error = detail;
            break;
    }
    if (code != CURLE_OK) {
        // The connection may be half-used; start the next call afresh.
        curl_easy_cleanup(curl);
        return outcome;
    }
    GiveBack(curl);
    if (outcome.status == 401 || outcome.status == 403) {
        outcome.kind = HttpOutcome::Kind::AccessDenied;
        outcome.error = "HTTP status " + std::to_string(outcome.status);
        return outcome;
    }
    if ((outcome.status != 200 && outcome.status != 400 && outcome.status != 500) || !soap) {
        outcome.kind = HttpOutcome::Kind::BadAnswer;
        outcome.error = "HTTP status " + std::to_string(outcome.status) + " with content type '" +
                        contentType + "'";
        return outcome;
    }
    outcome.kind = HttpOutcome::Kind::Answer;
    outcome.body = std::move(collected.body);
    return outcome;
}

}  // namespace wmi::wsman
