// Sealed WS-Management bodies: the form Windows sends, the other forms MIME
// allows a peer to send, and broken bodies, read by ParseSealedBody; and real
// NTLM messages (gss-ntlmssp, in process) unsealed from each accepted form.

#include "wmi/wsman/sealedbody.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "tests/app/tempdir.h"
#include "wmi/wsman/gsscontext.h"

using namespace wmi::wsman;

namespace {

// The signature and sealed message the fixtures carry: a 16-byte signature
// (NTLM's size) and a "sealed" message of 24 bytes, with bytes a text
// search could trip over (NUL, CR LF, the closing boundary itself).
const std::string kSignature("SIGNATURE\0\r\n--Enc", 16);
const std::string kSealed("--Encrypted Boundary--\r\n", 24);
constexpr size_t kMessageLength = 24;

// The octet stream: the signature's length (little-endian), then the rest.
std::string Stream(uint32_t signatureLength = 16, const std::string& rest = kSignature + kSealed) {
    std::string out;
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<char>((signatureLength >> shift) & 0xFF));
    }
    return out + rest;
}

// A body in which "@" stands for the octet stream.
std::string Body(const std::string& text, const std::string& stream = Stream()) {
    std::string out = text;
    out.replace(out.find('@'), 1, stream);
    return out;
}

const std::string kWindows =
    "--Encrypted Boundary\r\n"
    "\tContent-Type: application/HTTP-SPNEGO-session-encrypted\r\n"
    "\tOriginalContent: type=application/soap+xml;charset=UTF-8;Length=24\r\n"
    "--Encrypted Boundary\r\n"
    "\tContent-Type: application/octet-stream\r\n"
    "@--Encrypted Boundary--\r\n";

// `body` with every occurrence of `from` replaced by `to`.
std::string Replaced(std::string body, const std::string& from, const std::string& to) {
    for (size_t at = body.find(from); at != std::string::npos;
         at = body.find(from, at + to.size())) {
        body.replace(at, from.size(), to);
    }
    return body;
}

struct Form {
    const char* what;
    std::string body;
};

// The forms a peer may send: each carries the signature and sealed message
// above.
std::vector<Form> AcceptedForms() {
    return {
        {"as Windows sends it", Body(kWindows)},
        {"part headers not indented", Body(Replaced(kWindows, "\t", ""))},
        {"part headers indented with spaces", Body(Replaced(kWindows, "\t", "    "))},
        {"header names and types in other case",
         Body(Replaced(Replaced(Replaced(kWindows, "Content-Type", "content-type"),
                                "OriginalContent", "ORIGINALCONTENT"),
                       "application/octet-stream", "Application/Octet-Stream"))},
        {"an epilogue of one CRLF", Body(kWindows + "\r\n")},
        {"an epilogue of several lines", Body(kWindows + "trailing text\r\nand more\r\n\r\n")},
        {"no CRLF after the closing boundary", Body(kWindows.substr(0, kWindows.size() - 2))},
        {"a preamble before the first boundary", Body("This is a sealed message.\r\n" + kWindows)},
        {"blank lines after part headers, CRLF before the closing boundary",
         Body(Replaced(
             Replaced(kWindows, "charset=UTF-8;Length=24\r\n", "charset=UTF-8;Length=24\r\n\r\n"),
             "octet-stream\r\n@--Encrypted", "octet-stream\r\n\r\n@\r\n--Encrypted"))},
        {"blanks after the boundaries",
         Body(Replaced(kWindows, "Boundary\r\n", "Boundary \t\r\n"))},
    };
}

TEST(SealedBodyTest, FrameIsTheFormWindowsSends) {
    EXPECT_EQ(FrameSealedBody(kSignature + kSealed, 16, kMessageLength), Body(kWindows));
}

TEST(SealedBodyTest, EveryFormMimeAllowsIsRead) {
    for (const Form& form : AcceptedForms()) {
        SealedParts parts;
        std::string error;
        ASSERT_TRUE(ParseSealedBody(form.body, parts, error)) << form.what << ": " << error;
        EXPECT_EQ(parts.messageLength, kMessageLength) << form.what;
        EXPECT_EQ(parts.signatureLength, 16u) << form.what;
        EXPECT_EQ(std::string(parts.wrapped), kSignature + kSealed) << form.what;
    }
}

TEST(SealedBodyTest, BrokenBodiesAreRefusedWithTheirReason) {
    const std::string windows = Body(kWindows);
    const std::string streamStart = "application/octet-stream\r\n";
    const size_t stream = windows.find(streamStart) + streamStart.size();
    struct Case {
        const char* what;
        std::string body;
        const char* error;
    };
    const Case cases[] = {
        {"a SOAP envelope", "<s:Envelope/>", "not a sealed WS-Management body"},
        {"empty", "", "not a sealed WS-Management body"},
        {"no Length", Body(Replaced(kWindows, ";Length=24", "")),
         "not a sealed WS-Management body"},
        {"a first part of another type",
         Body(Replaced(kWindows, "HTTP-SPNEGO-session-encrypted", "xml")),
         "not a sealed WS-Management body"},
        {"closed after the first part",
         "--Encrypted Boundary\r\n"
         "\tContent-Type: application/HTTP-SPNEGO-session-encrypted\r\n"
         "\tOriginalContent: type=application/soap+xml;charset=UTF-8;Length=24\r\n"
         "--Encrypted Boundary--\r\n",
         "sealed body without its octet stream"},
        {"a second part of another type",
         Body(Replaced(kWindows, "application/octet-stream", "text/plain")),
         "sealed body without its octet stream"},
        {"cut off in the signature", windows.substr(0, stream + 10), "sealed body cut off"},
        {"cut off in the length", windows.substr(0, stream + 2), "sealed body cut off"},
        {"without the closing boundary", windows.substr(0, windows.size() - 24),
         "sealed body cut off"},
        {"a signature length beyond the stream", Body(kWindows, Stream(300, kSignature + "sealed")),
         "sealed body with a signature longer than itself"},
        {"a Length beyond the stream", Body(Replaced(kWindows, "Length=24", "Length=90")),
         "sealed message of another length than announced"},
    };
    for (const Case& c : cases) {
        SealedParts parts;
        std::string error;
        EXPECT_FALSE(ParseSealedBody(c.body, parts, error)) << c.what;
        EXPECT_EQ(error, c.error) << c.what;
    }
}

// An NTLM initiator and acceptor of gss-ntlmssp that have authenticated to
// each other in process.
class SealedBodyNtlmTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string users = dir.File("ntlm-users");
        FILE* file = std::fopen(users.c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fputs("QUELLON:alice:secret\n", file);
        std::fclose(file);
        setenv("NTLM_USER_FILE", users.c_str(), 1);
        std::string error;
        client = SecurityContext::Initiator(SecurityContext::Mechanism::Ntlm, "QUELLON\\alice",
                                            "secret", "127.0.0.1", error);
        ASSERT_TRUE(client) << error;
        server = SecurityContext::Acceptor();
        ASSERT_TRUE(server);
        std::string toServer, toClient;
        for (int round = 0; round < 4 && !(client->Established() && server->Established());
             ++round) {
            ASSERT_TRUE(client->Step(toClient, toServer, error)) << error;
            if (toServer.empty()) break;
            ASSERT_TRUE(server->Step(toServer, toClient, error)) << error;
        }
        ASSERT_TRUE(client->Established());
        ASSERT_TRUE(server->Established());
    }
    void TearDown() override { unsetenv("NTLM_USER_FILE"); }

    TempDir dir;
    std::unique_ptr<SecurityContext> client, server;
};

TEST_F(SealedBodyNtlmTest, SealedMessagesUnsealInEveryFormAndBrokenOnesAreRefused) {
    const std::string message =
        "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Body/></s:Envelope>";
    // Each accepted form's framing around a real sealed message: the
    // fixture's stream replaced by the one Seal wrote.
    for (const Form& form : AcceptedForms()) {
        std::string sealed, error;
        ASSERT_TRUE(client->Seal(message, sealed, error)) << error;
        SealedParts written;
        ASSERT_TRUE(ParseSealedBody(sealed, written, error)) << error;
        std::string stream = Stream(written.signatureLength, std::string(written.wrapped));
        std::string body = Replaced(form.body, Stream(), stream);
        body = Replaced(body, "Length=24", "Length=" + std::to_string(message.size()));
        std::string unsealed;
        ASSERT_TRUE(server->Unseal(body, unsealed, error)) << form.what << ": " << error;
        EXPECT_EQ(unsealed, message) << form.what;
    }
    std::string sealed, unsealed, error;
    ASSERT_TRUE(client->Seal(message, sealed, error)) << error;
    EXPECT_FALSE(server->Unseal(sealed.substr(0, sealed.size() - 40), unsealed, error));
    EXPECT_EQ(error, "sealed body cut off");
}

}  // namespace
