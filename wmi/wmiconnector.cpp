#include "wmi/wmiconnector.h"

#include <utility>

#include "base/logger.h"
#include "platform/text.h"

namespace {

// A UTF-16 copy of `text` as a BSTR, or none for the empty text.
class OptionalBstr : public RSLibrary::RSNonCopyable {
  public:
    explicit OptionalBstr(const std::string& text)
        : value(text.empty() ? nullptr : wmi::BstrFromUtf8(text)) {}
    ~OptionalBstr() { SysFreeString(value); }
    BSTR get() const { return value; }

  private:
    BSTR value;
};

}  // namespace

CWmiConnector::CWmiConnector() = default;

CWmiConnector::~CWmiConnector() {
    RSLibrary::RSSynchronizeGuard guard(lock);
    connections.clear();
}

CWmiConnector& CWmiConnector::Instance() {
    static CWmiConnector pool;
    return pool;
}

std::string CWmiConnector::NamespacePath(const std::string& host, const std::string& wmiNamespace) {
    std::string path = "\\\\" + host;
    if (wmiNamespace.empty() || wmiNamespace[0] != '\\') path += '\\';
    return path + wmiNamespace;
}

std::string CWmiConnector::ConnectionKey(const std::string& namespacePath, const std::string& user,
                                         const std::string& password) {
    return namespacePath + "?" + user + "?" + password;
}

int32_t CWmiConnector::connect(IWbemServices** services, const std::string& host,
                               const std::string& wmiNamespace, const std::string& user,
                               const std::string& password, int32_t connectFlags) {
    std::string path = NamespacePath(host, wmiNamespace);
    if (findConnection(services, path, user, password)) return 1;
    return createConnection(services, path, user, password, connectFlags);
}

bool CWmiConnector::disconnect(const std::string& host, const std::string& wmiNamespace,
                               const std::string& user, const std::string& password) {
    return removeConnection(NamespacePath(host, wmiNamespace), user, password);
}

bool CWmiConnector::findConnection(IWbemServices** services, const std::string& namespacePath,
                                   const std::string& user, const std::string& password) {
    RSLibrary::RSSynchronizeGuard guard(lock);
    return findConnectionLocked(services, namespacePath, user, password);
}

bool CWmiConnector::findConnectionLocked(IWbemServices** services, const std::string& namespacePath,
                                         const std::string& user, const std::string& password) {
    auto it = connections.find(ConnectionKey(namespacePath, user, password));
    if (it == connections.end()) {
        LOG(TRACE, "Connection does not exist for {%s, %s} - ", namespacePath.c_str(),
            user.c_str());
        return false;
    }
    ++it->second.referenceCount;
    LOG(DEBUG, "New Reference count for existing connection: {%s,%s} is %i", namespacePath.c_str(),
        user.c_str(), it->second.referenceCount);
    *services = it->second.wbemServices.Get();
    return true;
}

int32_t CWmiConnector::createConnection(IWbemServices** services, const std::string& namespacePath,
                                        const std::string& user, const std::string& password,
                                        int32_t connectFlags) {
    const char* pathText = namespacePath.c_str();
    const char* userText = user.c_str();
    OptionalBstr widePath(namespacePath);
    OptionalBstr wideUser(user);
    OptionalBstr widePassword(password);

    *services = nullptr;
    wmi::ComPtr<IWbemLocator> locator;
    HRESULT hr =
        CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                         reinterpret_cast<void**>(locator.ReleaseAndGetAddressOf()));
    if (FAILED(hr) || !locator) {
        LOG(WARN,
            "WmiConnector: Connection failed to {%s, %s} - could not get IID_IWBEMLocator "
            "interface",
            pathText, userText);
        return FAILED(hr) ? hr : WBEM_E_FAILED;
    }
    LOG(TRACE, "WmiConnector: Got IID_IWBEMLocator interface to {%s, %s}", pathText, userText);

    wmi::ComPtr<IWbemServices> made;
    hr = locator->ConnectServer(widePath.get(), wideUser.get(), widePassword.get(), nullptr,
                                connectFlags, nullptr, nullptr, made.ReleaseAndGetAddressOf());
    if (hr == WBEM_E_LOCAL_CREDENTIALS) {
        LOG(TRACE, "WmiConnector: Retrying connection to {%s, %s} as local, failed as remote",
            pathText, userText);
        hr = locator->ConnectServer(widePath.get(), nullptr, nullptr, nullptr, connectFlags,
                                    nullptr, nullptr, made.ReleaseAndGetAddressOf());
    }
    locator.Reset();
    if (FAILED(hr)) {
        LOG(DEBUG, "WmiConnector: Connection failed to {%s, %s}", pathText, userText);
        return hr;
    }
    if (!made) {
        // A success without a handle leaves nothing any caller could use, so
        // it is reported as a failure instead of being entered in the pool.
        LOG(INFO, "WmiConnector: ConnectServer OK but wbemServices == NULL for %s %s", pathText,
            userText);
        return WBEM_E_FAILED;
    }
    LOG(TRACE, "WmiConnector: ConnectServer() succeeded for {%s, %s}", pathText, userText);
    hr = setProxyBlanket(made.Get(), user, password);
    if (FAILED(hr)) {
        LOG(WARN, "WmiConnector: Failed to negotiate proxy blanket on {%s, %s} after connecting",
            pathText, userText);
        return hr;
    }
    LOG(DEBUG, "WmiConnector: negotiated proxy blanket on {%s, %s}, connection OK", pathText,
        userText);

    RSLibrary::RSSynchronizeGuard guard(lock);
    // Another thread may have entered the same key meanwhile: then its
    // handle is shared, and `made` (declared before the guard) is released
    // after the lock, as closing a connection is a platform call.
    if (!findConnectionLocked(services, namespacePath, user, password)) {
        *services = made.Get();
        connections[ConnectionKey(namespacePath, user, password)] = TConnection{1, std::move(made)};
    }
    return 1;
}

bool CWmiConnector::removeConnection(const std::string& namespacePath, const std::string& user,
                                     const std::string& password) {
    // Released at the end, outside the lock: closing a connection is a
    // platform call.
    wmi::ComPtr<IWbemServices> last;
    {
        RSLibrary::RSSynchronizeGuard guard(lock);
        auto it = connections.find(ConnectionKey(namespacePath, user, password));
        if (it == connections.end()) return false;
        if (it->second.referenceCount < 2) {
            last = std::move(it->second.wbemServices);
            connections.erase(it);
        } else {
            --it->second.referenceCount;
        }
    }
    return true;
}

int32_t CWmiConnector::ReferenceCount(const std::string& namespacePath, const std::string& user,
                                      const std::string& password) {
    RSLibrary::RSSynchronizeGuard guard(lock);
    auto it = connections.find(ConnectionKey(namespacePath, user, password));
    return it == connections.end() ? 0 : it->second.referenceCount;
}

int32_t CWmiConnector::setProxyBlanket(IUnknown* proxy, const std::string& user,
                                       const std::string& password) {
    DWORD authnSvc = 0;
    DWORD authzSvc = 0;
    OLECHAR* principal = nullptr;
    DWORD authnLevel = 0;
    DWORD impLevel = 0;
    RPC_AUTH_IDENTITY_HANDLE authInfo = nullptr;
    DWORD capabilities = 0;
    HRESULT hr = CoQueryProxyBlanket(proxy, &authnSvc, &authzSvc, &principal, &authnLevel,
                                     &impLevel, &authInfo, &capabilities);
    if (FAILED(hr)) {
        LOG(DEBUG, "WmiConnector: Failed in CoQueryProxyBlanket()");
        return hr;
    }
    if (!user.empty()) {
        size_t slash = user.find('\\');
        std::string domain = slash == std::string::npos ? std::string() : user.substr(0, slash);
        std::string name = slash == std::string::npos ? user : user.substr(slash + 1);
        LOG(TRACE, "%s", ("WmiConnector: user=" + name + "; domain=" + domain).c_str());
        std::u16string wideName = platform::Utf8ToUtf16(name);
        std::u16string wideDomain = platform::Utf8ToUtf16(domain);
        std::u16string widePassword = platform::Utf8ToUtf16(password);
        COAUTHIDENTITY identity{};
        identity.User = reinterpret_cast<USHORT*>(wideName.data());
        identity.UserLength = static_cast<ULONG>(wideName.size());
        identity.Domain = reinterpret_cast<USHORT*>(wideDomain.data());
        identity.DomainLength = static_cast<ULONG>(wideDomain.size());
        identity.Password = reinterpret_cast<USHORT*>(widePassword.data());
        identity.PasswordLength = static_cast<ULONG>(widePassword.size());
        identity.Flags = SEC_WINNT_AUTH_IDENTITY_UNICODE;
        hr = CoSetProxyBlanket(proxy, RPC_C_AUTHN_DEFAULT, RPC_C_AUTHZ_NONE, nullptr, authnLevel,
                               RPC_C_IMP_LEVEL_DEFAULT, &identity, EOAC_NONE);
        if (FAILED(hr)) {
            LOG(DEBUG, "WmiConnector: Failed in CoSetProxyBlanket() using supplied credentials");
        }
    } else {
        hr = CoSetProxyBlanket(proxy, RPC_C_AUTHN_DEFAULT, RPC_C_AUTHZ_NONE, nullptr, authnLevel,
                               RPC_C_IMP_LEVEL_DEFAULT, COLE_DEFAULT_AUTHINFO, EOAC_NONE);
        if (FAILED(hr)) {
            LOG(DEBUG, "WmiConnector: Failed in CoSetProxyBlanket() using default credentials");
        }
    }
    CoTaskMemFree(principal);
    return hr;
}
