// HTTP Negotiate authentication through GSSAPI, with Kerberos (MIT) or NTLM
// (gss-ntlmssp) as the mechanism, and the message sealing WS-Management uses over plain
// HTTP: a body of type
// multipart/encrypted;protocol="application/HTTP-SPNEGO-session-encrypted"
// (framed and read by wmi/wsman/sealedbody.h) whose octet-stream part holds
// the 4-byte little-endian length of the signature, the signature and the
// sealed message, sealed with the context the connection authenticated (for
// Kerberos the signature is the wrap token's header, as gss_wrap_iov gives
// it).
//
// A SecurityContext belongs to one connection and is used by one thread at a
// time (the one that owns the connection).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "wmi/wsman/sealedbody.h"

// The GSSAPI handle types (gss_name_t, gss_cred_id_t are pointers to these).
struct gss_name_struct;
struct gss_cred_id_struct;

namespace wmi::wsman {

class SecurityContext {
  public:
    enum class Mechanism {
        Ntlm,
        Kerberos,
        Negotiate,  // Kerberos, falling back to NTLM when it cannot be used
    };

    // An initiator (client) for HTTP@`host` with `user` ("DOMAIN\user",
    // "user" or "user@REALM") and `password`; with an empty user the
    // process's own credentials (Kerberos: its ticket cache or keytab).
    // Null, with the step that failed and GSSAPI's reason in `error`, when
    // the host's name cannot be parsed or no mechanism has credentials.
    static std::unique_ptr<SecurityContext> Initiator(Mechanism mechanism, const std::string& user,
                                                      const std::string& password,
                                                      const std::string& host, std::string& error);
    // An acceptor (server) for Kerberos (its key from the keytab
    // KRB5_KTNAME names) and NTLM (users from the file NTLM_USER_FILE
    // names).
    static std::unique_ptr<SecurityContext> Acceptor();
    ~SecurityContext();
    SecurityContext(const SecurityContext&) = delete;
    SecurityContext& operator=(const SecurityContext&) = delete;

    // One step of the exchange: takes the peer's token (empty for the
    // initiator's first step) and gives the token to send (possibly empty).
    // False with `error` when authentication failed.
    bool Step(std::string_view peerToken, std::string& token, std::string& error);
    bool Established() const { return established; }
    // The mechanism in use, for messages: "Kerberos" or "NTLM".
    const char* MechanismName() const { return kerberos ? "Kerberos" : "NTLM"; }
    // The authenticated peer ("DOMAIN\user"), acceptor only.
    const std::string& PeerName() const { return peer; }

    // The sealed body of `message`, ready to send with kSealedContentType.
    bool Seal(std::string_view message, std::string& body, std::string& error);
    // The message of a sealed body; false, with the reason in `error`, when the
    // body is broken (ParseSealedBody) or does not verify.
    bool Unseal(std::string_view body, std::string& message, std::string& error);

  private:
    struct NameRelease {
        void operator()(gss_name_struct* name) const;
    };
    struct CredentialRelease {
        void operator()(gss_cred_id_struct* credential) const;
    };

    SecurityContext() = default;
    // Takes credentials for `mech` (a gss_OID) and makes it the mechanism
    // in use; false, with the step and GSSAPI's reason in `error`, when
    // there are none.
    bool Acquire(const void* mech, const std::string& user, const std::string& password,
                 std::string& error);

    bool initiator = false;
    bool fallback = false;       // Negotiate: NTLM may still be tried
    bool kerberos = false;       // the mechanism in use is Kerberos
    const void* mech = nullptr;  // gss_OID of the initiator
    std::string user, password;  // kept for the fallback only
    bool established = false;
    void* context = nullptr;  // gss_ctx_id_t
    std::unique_ptr<gss_cred_id_struct, CredentialRelease> credential;
    std::unique_ptr<gss_name_struct, NameRelease> target;  // HTTP@host (initiator)
    std::string peer;
};

// Base64 of `data` and back (false for text that is not Base64).
std::string EncodeBase64(std::string_view data);
bool DecodeBase64(std::string_view text, std::string& data);

}  // namespace wmi::wsman
