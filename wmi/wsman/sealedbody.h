// The MIME framing of a sealed WS-Management body (plain HTTP after
// Negotiate): multipart/encrypted with boundary "Encrypted Boundary", a
// first part of type application/HTTP-SPNEGO-session-encrypted whose
// OriginalContent header announces the message's type and Length, and an
// application/octet-stream part holding the 4-byte little-endian length of
// the signature, the signature and the sealed message. The sealing itself
// (gss_wrap, gss_unwrap) is wmi/wsman/gsscontext.h's; this is only the text
// around it.
//
// FrameSealedBody writes the form Windows sends (part headers indented with
// a tab, no blank line before a part's content, the closing boundary ended
// by CRLF). ParseSealedBody reads that form and what else MIME allows of a
// peer: a preamble before the first boundary, part headers with any leading
// white space or none, header names and media types in any case, a blank
// line after a part's headers, a CRLF before the closing boundary and any
// epilogue after it. Pure functions, callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace wmi::wsman {

// The content type of a sealed body.
inline constexpr const char* kSealedContentType =
    "multipart/encrypted;protocol=\"application/HTTP-SPNEGO-session-encrypted\";"
    "boundary=\"Encrypted Boundary\"";

// The body carrying `wrapped` (the signature of `signatureLength` bytes,
// then the sealed message) of a message of `messageLength` bytes.
std::string FrameSealedBody(std::string_view wrapped, uint32_t signatureLength,
                            size_t messageLength);

// What a sealed body carries.
struct SealedParts {
    size_t messageLength = 0;  // the OriginalContent's Length
    uint32_t signatureLength = 0;
    std::string_view wrapped;  // the signature, then the sealed message (a view into the body)
};

// Reads `body`; false with the reason in `error` ("not a sealed
// WS-Management body", "sealed body without its octet stream", "sealed body
// cut off", "sealed body with a signature longer than itself", "sealed
// message of another length than announced") when it is not a sealed body
// or is broken.
bool ParseSealedBody(std::string_view body, SealedParts& parts, std::string& error);

}  // namespace wmi::wsman
