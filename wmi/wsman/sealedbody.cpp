#include "wmi/wsman/sealedbody.h"

#include <strings.h>

#include <algorithm>

#include "wmi/wsman/envelope.h"

namespace wmi::wsman {

namespace {

constexpr std::string_view kDelimiter = "--Encrypted Boundary";
constexpr std::string_view kClose = "--Encrypted Boundary--";
constexpr std::string_view kCrlf = "\r\n";
constexpr std::string_view kSessionType = "application/HTTP-SPNEGO-session-encrypted";
constexpr std::string_view kStreamType = "application/octet-stream";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsNameChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_';
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

// A boundary line at `at` (the delimiter, blanks, CRLF): moves `at` past it.
bool ReadBoundaryLine(std::string_view body, size_t& at) {
    if (body.substr(at, kDelimiter.size()) != kDelimiter) return false;
    size_t end = at + kDelimiter.size();
    while (end < body.size() && IsBlank(body[end])) ++end;
    if (body.substr(end, kCrlf.size()) != kCrlf) return false;
    at = end + kCrlf.size();
    return true;
}

// One header line of a part at `at` (leading blanks, a name, ':', the value
// up to CRLF): moves `at` past it. False where the part's content begins.
bool ReadHeader(std::string_view body, size_t& at, std::string_view& name,
                std::string_view& value) {
    size_t start = at;
    while (start < body.size() && IsBlank(body[start])) ++start;
    size_t colon = start;
    while (colon < body.size() && IsNameChar(body[colon])) ++colon;
    if (colon == start || colon >= body.size() || body[colon] != ':') return false;
    size_t end = body.find(kCrlf, colon);
    if (end == std::string_view::npos) return false;
    name = body.substr(start, colon - start);
    value = Trim(body.substr(colon + 1, end - colon - 1));
    at = end + kCrlf.size();
    return true;
}

// Reads a part's header lines and the blank line that may end them; the
// part's Content-Type and OriginalContent values.
void ReadHeaders(std::string_view body, size_t& at, std::string_view& type,
                 std::string_view& original) {
    std::string_view name, value;
    while (ReadHeader(body, at, name, value)) {
        if (name.size() == 12 && StartsWithIgnoringCase(name, "Content-Type")) type = value;
        if (name.size() == 15 && StartsWithIgnoringCase(name, "OriginalContent")) {
            original = value;
        }
    }
    if (body.substr(at, kCrlf.size()) == kCrlf) at += kCrlf.size();
}

// The Length parameter of an OriginalContent value; false when there is none.
bool ReadLength(std::string_view original, size_t limit, size_t& length) {
    for (size_t at = 0; at < original.size(); ++at) {
        if ((at == 0 || original[at - 1] == ';' || IsBlank(original[at - 1])) &&
            StartsWithIgnoringCase(original.substr(at), "Length=")) {
            size_t digit = at + 7;
            if (digit >= original.size() || original[digit] < '0' || original[digit] > '9') {
                return false;
            }
            length = 0;
            for (; digit < original.size() && original[digit] >= '0' && original[digit] <= '9';
                 ++digit) {
                // Beyond the body's own size it is wrong anyway; held there.
                length = std::min(limit, length * 10 + static_cast<size_t>(original[digit] - '0'));
            }
            return true;
        }
    }
    return false;
}

}  // namespace

std::string FrameSealedBody(std::string_view wrapped, uint32_t signatureLength,
                            size_t messageLength) {
    std::string body;
    body.reserve(wrapped.size() + 200);
    body += kDelimiter;
    body += "\r\n\tContent-Type: ";
    body += kSessionType;
    body += "\r\n\tOriginalContent: type=";
    body += kSoapContentType;
    body += ";Length=";
    body += std::to_string(messageLength);
    body += "\r\n";
    body += kDelimiter;
    body += "\r\n\tContent-Type: ";
    body += kStreamType;
    body += "\r\n";
    const char length[4] = {static_cast<char>(signatureLength & 0xFF),
                            static_cast<char>((signatureLength >> 8) & 0xFF),
                            static_cast<char>((signatureLength >> 16) & 0xFF),
                            static_cast<char>((signatureLength >> 24) & 0xFF)};
    body.append(length, 4);
    body += wrapped;
    body += kClose;
    body += "\r\n";
    return body;
}

bool ParseSealedBody(std::string_view body, SealedParts& parts, std::string& error) {
    parts = SealedParts();
    // The first boundary opens the body or a line after a preamble.
    size_t at = 0;
    if (body.substr(0, kDelimiter.size()) != kDelimiter) {
        at = body.find(std::string(kCrlf) + std::string(kDelimiter));
        at = at == std::string_view::npos ? body.size() : at + kCrlf.size();
    }
    std::string_view type, original;
    if (!ReadBoundaryLine(body, at)) {
        error = "not a sealed WS-Management body";
        return false;
    }
    ReadHeaders(body, at, type, original);
    if (!StartsWithIgnoringCase(type, kSessionType) ||
        !ReadLength(original, body.size() + 1, parts.messageLength)) {
        error = "not a sealed WS-Management body";
        return false;
    }
    // The second part: the octet stream.
    at = body.find(kDelimiter, at);
    if (at == std::string_view::npos || body.substr(at, kClose.size()) == kClose ||
        !ReadBoundaryLine(body, at)) {
        error = "sealed body without its octet stream";
        return false;
    }
    type = {};
    ReadHeaders(body, at, type, original);
    if (!StartsWithIgnoringCase(type, kStreamType)) {
        error = "sealed body without its octet stream";
        return false;
    }
    const size_t stream = at;
    if (body.size() < stream + 4) {
        error = "sealed body cut off";
        return false;
    }
    auto byte = [&](size_t i) {
        return static_cast<uint32_t>(static_cast<unsigned char>(body[stream + i]));
    };
    parts.signatureLength = byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24;
    // The stream holds the signature and a sealed message as long as the
    // original one (Kerberos may add padding): the closing boundary is
    // looked for beyond that, so no byte of the stream can be taken for it.
    const size_t least =
        stream + 4 + static_cast<size_t>(parts.signatureLength) + parts.messageLength;
    size_t close = least <= body.size() ? body.find(kClose, least) : std::string_view::npos;
    if (close == std::string_view::npos) {
        // Shorter than announced: a wrong length field, or a body cut off.
        size_t early =
            least <= body.size() ? std::string_view::npos : body.find(kClose, stream + 4);
        if (early == std::string_view::npos) {
            error = "sealed body cut off";
        } else if (parts.signatureLength > early - stream - 4) {
            error = "sealed body with a signature longer than itself";
        } else {
            error = "sealed message of another length than announced";
        }
        return false;
    }
    // A CRLF before the closing boundary belongs to the boundary.
    size_t end = close;
    if (end >= least + kCrlf.size() && body.substr(end - kCrlf.size(), kCrlf.size()) == kCrlf) {
        end -= kCrlf.size();
    }
    parts.wrapped = body.substr(stream + 4, end - stream - 4);
    return true;
}

}  // namespace wmi::wsman
