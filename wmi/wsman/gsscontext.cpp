#include "wmi/wsman/gsscontext.h"

#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstring>

#include "wmi/wsman/sealedbody.h"

namespace wmi::wsman {

namespace {

// The NTLM security support provider, 1.3.6.1.4.1.311.2.2.10.
gss_OID_desc kNtlmMech = {10, const_cast<char*>("\x2b\x06\x01\x04\x01\x82\x37\x02\x02\x0a")};
// Kerberos 5, 1.2.840.113554.1.2.2.
gss_OID_desc kKerberosMech = {9, const_cast<char*>("\x2a\x86\x48\x86\xf7\x12\x01\x02\x02")};

bool SameOid(gss_const_OID a, const gss_OID_desc& b) {
    return a != GSS_C_NO_OID && a->length == b.length &&
           std::memcmp(a->elements, b.elements, b.length) == 0;
}

// "DOMAIN\user" as Kerberos writes it, "user@DOMAIN"; other forms as given.
std::string KerberosName(const std::string& user) {
    size_t slash = user.find('\\');
    if (slash == std::string::npos) return user;
    std::string realm = user.substr(0, slash);
    for (char& c : realm) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    return user.substr(slash + 1) + "@" + realm;
}

std::string StatusText(OM_uint32 major, OM_uint32 minor) {
    std::string out;
    for (int type : {GSS_C_GSS_CODE, GSS_C_MECH_CODE}) {
        OM_uint32 code = type == GSS_C_GSS_CODE ? major : minor;
        if (code == 0) continue;
        OM_uint32 context = 0, ignored;
        do {
            gss_buffer_desc text = GSS_C_EMPTY_BUFFER;
            gss_display_status(&ignored, code, type, GSS_C_NO_OID, &context, &text);
            if (!out.empty()) out += "; ";
            out.append(static_cast<const char*>(text.value), text.length);
            gss_release_buffer(&ignored, &text);
        } while (context != 0);
    }
    return out;
}

gss_buffer_desc Buffer(std::string_view data) {
    return {data.size(), const_cast<char*>(data.data())};
}

}  // namespace

std::string EncodeBase64(std::string_view data) {
    std::string out(4 * ((data.size() + 2) / 3), '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                            reinterpret_cast<const unsigned char*>(data.data()),
                            static_cast<int>(data.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

bool DecodeBase64(std::string_view text, std::string& data) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\r')) text.remove_suffix(1);
    if (text.empty() || text.size() % 4 != 0 || text.size() > 65536) return false;
    data.assign(text.size() / 4 * 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(data.data()),
                            reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size()));
    if (n < 0) return false;
    size_t padding = 0;
    for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) ++padding;
    data.resize(static_cast<size_t>(n) - padding);
    return true;
}

void SecurityContext::NameRelease::operator()(gss_name_struct* name) const {
    OM_uint32 minor;
    gss_release_name(&minor, &name);
}

void SecurityContext::CredentialRelease::operator()(gss_cred_id_struct* credential) const {
    OM_uint32 minor;
    gss_release_cred(&minor, &credential);
}

std::unique_ptr<SecurityContext> SecurityContext::Initiator(Mechanism mechanism,
                                                            const std::string& user,
                                                            const std::string& password,
                                                            const std::string& host,
                                                            std::string& error) {
    std::unique_ptr<SecurityContext> c(new SecurityContext());
    c->initiator = true;
    OM_uint32 minor;
    std::string service = "HTTP@" + host;
    gss_buffer_desc serviceName = Buffer(service);
    gss_name_t target = GSS_C_NO_NAME;
    OM_uint32 major = gss_import_name(&minor, &serviceName, GSS_C_NT_HOSTBASED_SERVICE, &target);
    if (GSS_ERROR(major)) {
        error = "parsing the service name " + service + ": " + StatusText(major, minor);
        return nullptr;
    }
    c->target.reset(target);
    std::string kerberosError;
    if (mechanism != Mechanism::Ntlm && c->Acquire(&kKerberosMech, user, password, kerberosError)) {
        c->fallback = mechanism == Mechanism::Negotiate;
        if (c->fallback) {
            c->user = user;
            c->password = password;
        }
        return c;
    }
    if (mechanism == Mechanism::Kerberos) {
        error = kerberosError;
        return nullptr;
    }
    if (!c->Acquire(&kNtlmMech, user, password, error)) {
        // Negotiate: both mechanisms were tried.
        if (!kerberosError.empty()) error = kerberosError + "; " + error;
        return nullptr;
    }
    return c;
}

bool SecurityContext::Acquire(const void* mechanism, const std::string& name,
                              const std::string& secret, std::string& error) {
    OM_uint32 major, minor;
    auto* oid = static_cast<gss_OID>(const_cast<void*>(mechanism));
    mech = oid;
    kerberos = oid == &kKerberosMech;
    credential.reset();
    gss_OID_set_desc mechs = {1, oid};
    gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;
    if (name.empty()) {
        // The process's own credentials, when it has any for the mechanism.
        major = gss_acquire_cred(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &mechs, GSS_C_INITIATE,
                                 &cred, nullptr, nullptr);
        if (GSS_ERROR(major)) {
            error = std::string("acquiring the process's own ") + MechanismName() +
                    " credentials: " + StatusText(major, minor);
            return false;
        }
    } else {
        std::string text = kerberos ? KerberosName(name) : name;
        gss_buffer_desc userName = Buffer(text);
        gss_name_t imported = GSS_C_NO_NAME;
        major = gss_import_name(&minor, &userName, GSS_C_NT_USER_NAME, &imported);
        if (GSS_ERROR(major)) {
            error = std::string("parsing the ") + MechanismName() + " user name " + text + ": " +
                    StatusText(major, minor);
            return false;
        }
        std::unique_ptr<gss_name_struct, NameRelease> owned(imported);
        gss_buffer_desc buffer = Buffer(secret);
        major = gss_acquire_cred_with_password(&minor, imported, &buffer, GSS_C_INDEFINITE, &mechs,
                                               GSS_C_INITIATE, &cred, nullptr, nullptr);
        if (GSS_ERROR(major)) {
            error = std::string("acquiring ") + MechanismName() + " credentials for " + text +
                    ": " + StatusText(major, minor);
            return false;
        }
    }
    credential.reset(cred);
    return true;
}

std::unique_ptr<SecurityContext> SecurityContext::Acceptor() {
    return std::unique_ptr<SecurityContext>(new SecurityContext());
}

SecurityContext::~SecurityContext() {
    OM_uint32 minor;
    gss_ctx_id_t ctx = static_cast<gss_ctx_id_t>(context);
    if (ctx != GSS_C_NO_CONTEXT) gss_delete_sec_context(&minor, &ctx, GSS_C_NO_BUFFER);
}

bool SecurityContext::Step(std::string_view peerToken, std::string& token, std::string& error) {
    token.clear();
    OM_uint32 major, minor;
    gss_buffer_desc input = Buffer(peerToken);
    gss_buffer_desc output = GSS_C_EMPTY_BUFFER;
    gss_ctx_id_t ctx = static_cast<gss_ctx_id_t>(context);
    if (initiator) {
        major = gss_init_sec_context(
            &minor, credential.get(), &ctx, target.get(),
            static_cast<gss_OID>(const_cast<void*>(mech)),
            GSS_C_MUTUAL_FLAG | GSS_C_INTEG_FLAG | GSS_C_CONF_FLAG | GSS_C_SEQUENCE_FLAG, 0,
            GSS_C_NO_CHANNEL_BINDINGS, peerToken.empty() ? GSS_C_NO_BUFFER : &input, nullptr,
            &output, nullptr, nullptr);
    } else {
        gss_name_t source = GSS_C_NO_NAME;
        gss_OID used = GSS_C_NO_OID;
        major = gss_accept_sec_context(&minor, &ctx, GSS_C_NO_CREDENTIAL, &input,
                                       GSS_C_NO_CHANNEL_BINDINGS, &source, &used, &output, nullptr,
                                       nullptr, nullptr);
        kerberos = SameOid(used, kKerberosMech);
        std::unique_ptr<gss_name_struct, NameRelease> owned(source);
        if (major == GSS_S_COMPLETE && source != GSS_C_NO_NAME) {
            gss_buffer_desc text = GSS_C_EMPTY_BUFFER;
            OM_uint32 shown = gss_display_name(&minor, source, &text, nullptr);
            if (GSS_ERROR(shown)) {
                error = "reading the authenticated peer's name: " + StatusText(shown, minor);
                context = ctx;
                return false;
            }
            peer.assign(static_cast<const char*>(text.value), text.length);
            // Some mechanisms count the terminating NUL.
            while (!peer.empty() && peer.back() == '\0') peer.pop_back();
            gss_release_buffer(&minor, &text);
        }
    }
    context = ctx;
    if (output.length > 0) {
        token.assign(static_cast<const char*>(output.value), output.length);
    }
    gss_release_buffer(&minor, &output);
    if (GSS_ERROR(major)) {
        if (fallback && peerToken.empty()) {
            // Negotiate: no Kerberos ticket for the host; NTLM instead.
            fallback = false;
            if (ctx != GSS_C_NO_CONTEXT) gss_delete_sec_context(&minor, &ctx, GSS_C_NO_BUFFER);
            context = GSS_C_NO_CONTEXT;
            std::string kerberosError = "starting Kerberos: " + StatusText(major, minor);
            if (!Acquire(&kNtlmMech, user, password, error)) {
                error = kerberosError + "; " + error;
                return false;
            }
            return Step(peerToken, token, error);
        }
        error = std::string(initiator ? "starting " : "accepting ") + MechanismName() + ": " +
                StatusText(major, minor);
        return false;
    }
    established = major == GSS_S_COMPLETE;
    return true;
}

bool SecurityContext::Seal(std::string_view message, std::string& body, std::string& error) {
    OM_uint32 major, minor;
    int sealed = 0;
    std::string wrapped;  // the signature, then the sealed message
    uint32_t signature = 0;
    if (kerberos) {
        // Header (the signature), the data sealed in place, padding.
        std::string data(message);
        gss_iov_buffer_desc iov[3];
        iov[0].type = GSS_IOV_BUFFER_TYPE_HEADER | GSS_IOV_BUFFER_FLAG_ALLOCATE;
        iov[0].buffer = GSS_C_EMPTY_BUFFER;
        iov[1].type = GSS_IOV_BUFFER_TYPE_DATA;
        iov[1].buffer = {data.size(), data.data()};
        iov[2].type = GSS_IOV_BUFFER_TYPE_PADDING | GSS_IOV_BUFFER_FLAG_ALLOCATE;
        iov[2].buffer = GSS_C_EMPTY_BUFFER;
        major = gss_wrap_iov(&minor, static_cast<gss_ctx_id_t>(context), 1, GSS_C_QOP_DEFAULT,
                             &sealed, iov, 3);
        if (!GSS_ERROR(major) && sealed) {
            signature = static_cast<uint32_t>(iov[0].buffer.length);
            wrapped.assign(static_cast<const char*>(iov[0].buffer.value), iov[0].buffer.length);
            wrapped += data;
            wrapped.append(static_cast<const char*>(iov[2].buffer.value), iov[2].buffer.length);
        }
        gss_release_iov_buffer(&minor, iov, 3);
    } else {
        gss_buffer_desc input = Buffer(message);
        gss_buffer_desc output = GSS_C_EMPTY_BUFFER;
        major = gss_wrap(&minor, static_cast<gss_ctx_id_t>(context), 1, GSS_C_QOP_DEFAULT, &input,
                         &sealed, &output);
        if (!GSS_ERROR(major) && sealed && output.length >= message.size()) {
            // The NTLM wrap token is the signature followed by the sealed
            // message.
            signature = static_cast<uint32_t>(output.length - message.size());
            wrapped.assign(static_cast<const char*>(output.value), output.length);
        }
        gss_release_buffer(&minor, &output);
    }
    if (GSS_ERROR(major) || !sealed || wrapped.empty()) {
        error = GSS_ERROR(major) ? StatusText(major, minor) : "message not sealed";
        return false;
    }
    body = FrameSealedBody(wrapped, signature, message.size());
    return true;
}

bool SecurityContext::Unseal(std::string_view body, std::string& message, std::string& error) {
    SealedParts parts;
    if (!ParseSealedBody(body, parts, error)) return false;
    OM_uint32 major, minor;
    gss_buffer_desc input = Buffer(parts.wrapped);
    gss_buffer_desc output = GSS_C_EMPTY_BUFFER;
    major =
        gss_unwrap(&minor, static_cast<gss_ctx_id_t>(context), &input, &output, nullptr, nullptr);
    if (GSS_ERROR(major)) {
        error = "the sealed message does not verify: " + StatusText(major, minor);
        return false;
    }
    message.assign(static_cast<const char*>(output.value), output.length);
    gss_release_buffer(&minor, &output);
    if (message.size() != parts.messageLength) {
        error = "sealed message of another length than announced";
        return false;
    }
    return true;
}

}  // namespace wmi::wsman
