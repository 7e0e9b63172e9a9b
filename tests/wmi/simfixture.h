// A simulated hosts' store in a fresh temporary folder for one test, with
// helpers to add hosts and records and to read objects back.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <wbemidl.h>

#include <string>
#include <vector>

#include "tests/app/tempdir.h"
#include "wmi/cim/cimtime.h"
#include "wmi/sim/simprovider.h"
#include "wmi/sim/simstore.h"

namespace simtest {

// 2024-01-01 12:00:00 UTC in microseconds.
constexpr int64_t kNoon = 1704110400LL * 1000000;

inline wmi::sim::SimEvent MakeEvent(const std::string& log, int type, uint32_t code,
                                    int64_t time = kNoon) {
    wmi::sim::SimEvent e;
    e.logFile = log;
    e.eventType = type;
    e.typeText = wmi::sim::EventTypeText(type);
    e.eventCode = code;
    e.eventIdentifier = code;
    e.sourceName = "Source " + std::to_string(code);
    e.timeGenerated = time;
    e.timeWritten = time;
    e.insertionStrings = std::vector<std::string>{"first " + std::to_string(code)};
    e.computerName = "HOSTA";
    return e;
}

class SimStoreFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        path = dir.File("hosts.db");
        ASSERT_EQ(store.open(path, true), wmi::sim::SimResult::Ok);
    }

    void AddHost(const std::string& name, bool up = true, const char* user = nullptr,
                 const char* password = nullptr) {
        wmi::sim::SimHost host;
        host.name = name;
        host.computerName = "HOSTA";
        host.up = up;
        if (user != nullptr) host.user = user;
        if (password != nullptr) host.password = password;
        ASSERT_EQ(store.addHost(host), wmi::sim::SimResult::Ok) << name;
    }

    void Append(const std::string& host, std::vector<wmi::sim::SimEvent> events) {
        ASSERT_EQ(store.appendEvents(host, events), wmi::sim::SimResult::Ok) << host;
    }

    // Numbers the host's next record `first`, as on a log that has written
    // that many: a placeholder record of log "Setup" becomes first - 1.
    void NumberNextRecordFrom(const std::string& host, int64_t first) {
        Append(host, {MakeEvent("Setup", 3, 0)});
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        const std::string sql =
            "UPDATE events SET record_number = " + std::to_string(first - 1) +
            " WHERE log_file = 'Setup' AND host_id = (SELECT id FROM hosts WHERE name = '" + host +
            "')";
        const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
        const int changed = sqlite3_changes(db);
        sqlite3_close(db);
        ASSERT_EQ(rc, SQLITE_OK);
        ASSERT_EQ(changed, 1);
    }

    // Records of source "PoisonLength" or "PoisonShort" appended from now
    // on are stored damaged, in the same transaction: their insertion
    // strings' blob is a length prefix of 0x7fffffff with nothing after it,
    // or 2 bytes, as a store damaged on disk would hold them.
    void DamagePoisonRecords() {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        const char* const sql =
            "CREATE TRIGGER damage AFTER INSERT ON events "
            "WHEN NEW.source_name IN ('PoisonLength', 'PoisonShort') BEGIN "
            "UPDATE events SET insertion_strings = CASE NEW.source_name "
            "WHEN 'PoisonLength' THEN X'FFFFFF7F' ELSE X'0102' END WHERE rowid = NEW.rowid; END";
        const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
        sqlite3_close(db);
        ASSERT_EQ(rc, SQLITE_OK);
    }

    TempDir dir;
    std::string path;
    wmi::sim::SimStore store;
};

// A BSTR that frees itself.
class Bstr {
  public:
    explicit Bstr(const char* text) : value(text == nullptr ? nullptr : wmi::BstrFromUtf8(text)) {}
    ~Bstr() { SysFreeString(value); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    operator BSTR() const { return value; }

  private:
    BSTR value;
};

// A property read back as text ("<NULL>" for VT_NULL) with its type.
struct Read {
    HRESULT hr = S_OK;
    VARTYPE vt = VT_EMPTY;
    std::string text;
};

inline Read GetProperty(IWbemClassObject* object, const char16_t* name) {
    Read out;
    VARIANT value;
    VariantInit(&value);
    out.hr = object->Get(name, 0, &value, nullptr, nullptr);
    out.vt = value.vt;
    switch (value.vt) {
        case VT_NULL:
            out.text = "<NULL>";
            break;
        case VT_I4:
            out.text = std::to_string(value.lVal);
            break;
        case VT_UI1:
            out.text = std::to_string(value.bVal);
            break;
        case VT_BSTR:
            out.text = wmi::Utf8FromBstr(value.bstrVal);
            break;
        case VT_ARRAY | VT_BSTR: {
            LONG lower = 0, upper = -1;
            SafeArrayGetLBound(value.parray, 1, &lower);
            SafeArrayGetUBound(value.parray, 1, &upper);
            out.text = "[";
            for (LONG i = lower; i <= upper; ++i) {
                BSTR element = nullptr;
                SafeArrayGetElement(value.parray, &i, &element);
                out.text += (i > lower ? "|" : "") + wmi::Utf8FromBstr(element);
                SysFreeString(element);
            }
            out.text += "]";
            break;
        }
        default:
            break;
    }
    VariantClear(&value);
    return out;
}

// The TargetInstance of an __InstanceCreationEvent, with one reference;
// null, after a failed expectation, when it cannot be read.
inline IWbemClassObject* TargetOf(IWbemClassObject* notification) {
    VARIANT v;
    VariantInit(&v);
    EXPECT_EQ(notification->Get(u"TargetInstance", 0, &v, nullptr, nullptr), S_OK);
    EXPECT_EQ(v.vt, VT_UNKNOWN);
    IWbemClassObject* target = nullptr;
    if (v.vt == VT_UNKNOWN && v.punkVal != nullptr) {
        EXPECT_EQ(
            v.punkVal->QueryInterface(IID_IWbemClassObject, reinterpret_cast<void**>(&target)),
            S_OK);
    }
    VariantClear(&v);
    return target;
}

// Releases the first n objects of a batch.
inline void ReleaseAll(IWbemClassObject** objects, ULONG n) {
    for (ULONG i = 0; i < n; ++i) objects[i]->Release();
}

}  // namespace simtest
