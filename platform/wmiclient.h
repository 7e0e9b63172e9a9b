// WMI of a Windows host through the system's own COM and DCOM: the road of
// the "wmi" provider (wmi/native/), which turns what this layer reads into
// the management interface's objects. A session is connected to the
// namespace root\cimv2 of one host with an account, or with the process's
// own identity for an empty user; it runs WQL data queries and event
// notification queries, each read with a time-out, item by item. Values are
// handed over in the system's own kinds, as plain C++ values.
//
// Where the system has no WMI (Linux) every connection fails with
// kWmiNotAvailable; the start-up refuses the provider there first.
//
// Threads: a session and its queries may be used from any thread, one call
// at a time per object (the engine's connector and query threads take
// turns); each call joins the calling thread to the system's multi-threaded
// COM apartment first. Results are HRESULT codes as numbers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// The connection failed because this system has no WMI (REGDB_E_CLASSNOTREG).
constexpr int32_t kWmiNotAvailable = static_cast<int32_t>(0x80040154);
// Next found nothing within its time (WBEM_S_TIMEDOUT).
constexpr int32_t kWmiTimedOut = 0x40004;
// Next found the end of the answer (WBEM_S_FALSE).
constexpr int32_t kWmiEnd = 1;

struct WmiObject;

// One property of an item, in the variant kinds of WMI: null, text,
// a whole number (the variant type says which width and sign), a list of
// texts, a list of bytes, or an embedded object (an event's TargetInstance).
struct WmiValue {
    enum class Kind { kNull, kText, kInteger, kBoolean, kTexts, kBytes, kObject };
    Kind kind = Kind::kNull;
    uint16_t variantType = 1;  // VT_NULL, VT_BSTR, VT_I4, VT_UI1 | VT_ARRAY, ...
    std::string text;          // UTF-8
    int64_t integer = 0;       // also the boolean (0 or 1)
    std::vector<std::string> texts;
    std::vector<uint8_t> bytes;
    std::shared_ptr<const WmiObject> object;
};

struct WmiProperty {
    std::string name;
    WmiValue value;
};

// The properties of one item as the host returned them (system properties,
// those starting with "__", left out).
struct WmiObject {
    std::vector<WmiProperty> properties;
};

class WmiQuery {
  public:
    virtual ~WmiQuery() = default;
    // Waits up to timeoutMs (negative: no limit) for at most `count` items
    // and appends them to *items. 0 (S_OK) when `count` came, kWmiTimedOut
    // when fewer came in time, kWmiEnd at the end of the answer, or the
    // failure's code.
    virtual int32_t Next(int32_t timeoutMs, uint32_t count, std::vector<WmiObject>* items) = 0;
};

class WmiSession {
  public:
    virtual ~WmiSession() = default;
    // Starts a WQL query, semi-synchronous and forward only: an event
    // notification query when notification is true, else a data query.
    // Returns the code; *query is set on success.
    virtual int32_t Exec(const std::string& wql, bool notification,
                         std::unique_ptr<WmiQuery>* query) = 0;
};

// Connects to \\host\root\cimv2 as user ("domain\user" or "user"; empty:
// this process's identity, which a connection to the local machine always
// uses) with password. Returns the code; *session is set on success.
int32_t ConnectWmi(const std::string& host, const std::string& user, const std::string& password,
                   std::unique_ptr<WmiSession>* session);

// True where the system has WMI (Windows).
bool WmiAvailable();

// The system's text for a WMI or COM code, empty when it has none.
std::string WmiErrorText(int32_t code);

}  // namespace platform
