// The catch-up after a reconnect against a simulated host, with the host's
// data queries answered oldest first (as the simulated hosts do) and newest
// first (as a Windows host may answer a Win32_NTLogEvent query): the same
// records, in the same order, must come out either way.
#include "engine/catchup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/clientlines.h"
#include "engine/threadinfra.h"
#include "tests/wmi/simfixture.h"
#include "wmi/comobject.h"
#include "wmi/locatorfactory.h"
#include "wmi/sim/newestfirst.h"

namespace {

using simtest::kNoon;
using simtest::MakeEvent;

// The simulated host's services, with every data query's answer reversed.
class NewestFirstServices : public wmi::ComObject<IWbemServices> {
  public:
    explicit NewestFirstServices(IWbemServices* real) : inner(real) { inner->AddRef(); }
    HRESULT ExecQuery(BSTR language, BSTR query, LONG flags, IWbemContext* context,
                      IEnumWbemClassObject** result) override {
        IEnumWbemClassObject* answer = nullptr;
        HRESULT hr = inner->ExecQuery(language, query, flags, context, &answer);
        if (FAILED(hr)) return hr;
        hr = wmi::sim::NewestFirst(answer, 1000, result);
        answer->Release();
        return hr;
    }
    HRESULT ExecNotificationQuery(BSTR, BSTR, LONG, IWbemContext*,
                                  IEnumWbemClassObject**) override {
        return WBEM_E_FAILED;
    }

  protected:
    ~NewestFirstServices() override { inner->Release(); }
    const IID& InterfaceId() const override { return IID_IWbemServices; }

  private:
    IWbemServices* inner;
};

// An answer handed out in batches of at most two objects, a short batch
// reported as WBEM_S_TIMEDOUT, as the WS-Management enumerator reports
// every batch shorter than asked for; its end is WBEM_S_FALSE.
class ShortBatchEnumerator : public wmi::ComObject<IEnumWbemClassObject> {
  public:
    explicit ShortBatchEnumerator(IEnumWbemClassObject* real) : inner(real) {}
    HRESULT Next(LONG timeout, ULONG count, IWbemClassObject** out, ULONG* returned) override {
        HRESULT hr = inner->Next(timeout, std::min<ULONG>(count, 2), out, returned);
        if (hr == WBEM_S_NO_ERROR && *returned < count) return WBEM_S_TIMEDOUT;
        return hr;
    }

  protected:
    ~ShortBatchEnumerator() override { inner->Release(); }
    const IID& InterfaceId() const override { return IID_IEnumWbemClassObject; }

  private:
    IEnumWbemClassObject* inner;  // owned
};

// The simulated host's services, every data query's answer in short batches.
class ShortBatchServices : public wmi::ComObject<IWbemServices> {
  public:
    explicit ShortBatchServices(IWbemServices* real) : inner(real) { inner->AddRef(); }
    HRESULT ExecQuery(BSTR language, BSTR query, LONG flags, IWbemContext* context,
                      IEnumWbemClassObject** result) override {
        IEnumWbemClassObject* answer = nullptr;
        HRESULT hr = inner->ExecQuery(language, query, flags, context, &answer);
        if (FAILED(hr)) return hr;
        *result = new ShortBatchEnumerator(answer);
        return hr;
    }
    HRESULT ExecNotificationQuery(BSTR, BSTR, LONG, IWbemContext*,
                                  IEnumWbemClassObject**) override {
        return WBEM_E_FAILED;
    }

  protected:
    ~ShortBatchServices() override { inner->Release(); }
    const IID& InterfaceId() const override { return IID_IWbemServices; }

  private:
    IWbemServices* inner;
};

constexpr int64_t kSecond = 1000000;

class CatchUpOrder : public simtest::SimStoreFixture {
  protected:
    void SetUp() override {
        SimStoreFixture::SetUp();
        AddHost("10.0.0.5");
        wmi::UseSimStore(path);
        IWbemLocator* locator = nullptr;
        ASSERT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IWbemLocator, reinterpret_cast<void**>(&locator)),
                  S_OK);
        simtest::Bstr resource("\\\\10.0.0.5\\root\\cimv2");
        ASSERT_EQ(locator->ConnectServer(resource, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                         &oldestFirst),
                  S_OK);
        locator->Release();
        newestFirst = new NewestFirstServices(oldestFirst);
        shortOldest = new ShortBatchServices(oldestFirst);
        shortNewest = new ShortBatchServices(newestFirst);
    }
    void TearDown() override {
        if (shortNewest != nullptr) shortNewest->Release();
        if (shortOldest != nullptr) shortOldest->Release();
        if (newestFirst != nullptr) newestFirst->Release();
        if (oldestFirst != nullptr) oldestFirst->Release();
        wmi::UseSimStore("");
    }

    // Records 1..n of `log`, one second apart from noon, event codes
    // 100 + their number; they get record numbers from the store.
    void Write(const std::string& log, int n, int firstCode = 101, int64_t from = kNoon) {
        std::vector<wmi::sim::SimEvent> events;
        for (int i = 0; i < n; ++i) {
            events.push_back(
                MakeEvent(log, 3, static_cast<uint32_t>(firstCode + i), from + i * kSecond));
        }
        Append("10.0.0.5", std::move(events));
    }

    struct TRun {
        std::vector<std::string> lines;
        CCatchUp::TStep step = CCatchUp::TStep::More;
        TResumePoint after;
    };

    // Runs a whole catch-up of subscription "* *" from `point`.
    TRun Run(IWbemServices* services, const TResumePoint& point, size_t cap) {
        TSubscriptionNode node;
        node.host = "10.0.0.5";
        node.category = "*";
        node.eventType = "*";
        node.services = services;
        node.resume = point;
        CCatchUp catchUp(node, cap);
        TRun run;
        HRESULT error = S_OK;
        for (int turns = 0; turns < 1000 && run.step == CCatchUp::TStep::More; ++turns) {
            std::vector<TOutputItem> items;
            run.step = catchUp.Step(node, 7, 100, &items, &error);
            for (const TOutputItem& item : items) run.lines.push_back(ClientLine(item));
        }
        node.services = nullptr;
        run.after = node.resume;
        return run;
    }

    static TLogPosition Position(int64_t number, int64_t micros) {
        return TLogPosition{static_cast<uint32_t>(number), MicrosToDmtf(micros)};
    }

    IWbemServices* oldestFirst = nullptr;
    IWbemServices* newestFirst = nullptr;
    IWbemServices* shortOldest = nullptr;  // the two above, in short batches
    IWbemServices* shortNewest = nullptr;
};

// Codes of the records in the lines (the event code follows the host).
std::vector<std::string> Codes(const std::vector<std::string>& lines) {
    std::vector<std::string> codes;
    for (const std::string& line : lines) {
        if (line.rfind("EVENTS_SKIPPED", 0) == 0) {
            codes.push_back(line);
            continue;
        }
        for (int code = 101; code < 400; ++code) {
            if (line.find(" " + std::to_string(code) + " ") != std::string::npos) {
                codes.push_back(std::to_string(code));
                break;
            }
        }
    }
    return codes;
}

TEST_F(CatchUpOrder, EitherAnswerOrderGivesTheSameRecordsInRecordOrder) {
    // System records 1..10, Application 11..16 interleaved in time.
    Write("System", 10, 101);
    Write("Application", 6, 201, kNoon + kSecond / 2);
    TResumePoint point;
    point.logs["System"] = Position(4, kNoon + 3 * kSecond);
    point.logs["Application"] = Position(12, kNoon + kSecond / 2 + kSecond);
    struct {
        const char* name;
        TResumePoint point;
        size_t cap;
        std::vector<std::string> codes;
    } cases[] = {
        {"from both points",
         point,
         100,
         {"203", "204", "105", "205", "106", "206", "107", "108", "109", "110"}},
        {"over the cap: the newest",
         point,
         3,
         {"EVENTS_SKIPPED 10.0.0.5 * * 7", "108", "109", "110"}},
    };
    for (const auto& c : cases) {
        TRun oldest = Run(oldestFirst, c.point, c.cap);
        TRun newest = Run(newestFirst, c.point, c.cap);
        EXPECT_EQ(oldest.step, CCatchUp::TStep::Done) << c.name;
        EXPECT_EQ(newest.step, CCatchUp::TStep::Done) << c.name;
        EXPECT_EQ(Codes(oldest.lines), c.codes) << c.name;
        EXPECT_EQ(newest.lines, oldest.lines) << c.name;
        EXPECT_EQ(newest.after, oldest.after) << c.name;
        EXPECT_EQ(newest.after.logs["System"].recordNumber, 10u) << c.name;
    }
}

TEST_F(CatchUpOrder, ClearedLogIsReadAgainByTimeInEitherOrder) {
    Write("System", 5, 101);
    TResumePoint point;
    // Record 7 never existed with that time: the log was cleared and its
    // numbers went on (wrapped), or the number now names a later record.
    struct {
        const char* name;
        TLogPosition position;
        std::vector<std::string> codes;
    } cases[] = {
        {"point's record gone", Position(7, kNoon + 2 * kSecond), {"103", "104", "105"}},
        {"point's number reused",
         Position(2, kNoon - 60 * kSecond),
         {"101", "102", "103", "104", "105"}},
    };
    for (const auto& c : cases) {
        point.logs["System"] = c.position;
        TRun oldest = Run(oldestFirst, point, 100);
        TRun newest = Run(newestFirst, point, 100);
        EXPECT_EQ(Codes(oldest.lines), c.codes) << c.name;
        EXPECT_EQ(newest.lines, oldest.lines) << c.name;
        EXPECT_EQ(newest.after.logs["System"].recordNumber, 5u) << c.name;
    }
}

TEST_F(CatchUpOrder, ClearedLogIsReadAgainByTimeWhenTheAnswerComesInShortBatches) {
    // The log was cleared during the outage and numbered again from 1:
    // records 1..6 were written after the point's time, and the point's
    // number now names a later record. Each batch of the answer is short
    // (WBEM_S_TIMEDOUT), so the clash and the answer's end come in
    // different turns; oldest first the clash opens a batch, newest first
    // it closes one.
    Write("System", 6, 101);
    struct {
        const char* name;
        TLogPosition position;
        std::vector<std::string> codes;
    } cases[] = {
        {"clash with records after it",
         Position(3, kNoon - 60 * kSecond),
         {"101", "102", "103", "104", "105", "106"}},
        {"clash in the answer's last batch",
         Position(5, kNoon - 60 * kSecond),
         {"101", "102", "103", "104", "105", "106"}},
        {"clash, records before the point's time left out",
         Position(4, kNoon + 2 * kSecond + kSecond / 2),
         {"104", "105", "106"}},
        {"point's record gone", Position(7, kNoon + 3 * kSecond), {"104", "105", "106"}},
    };
    for (const auto& c : cases) {
        TResumePoint point;
        point.logs["System"] = c.position;
        TRun reference = Run(oldestFirst, point, 100);
        EXPECT_EQ(Codes(reference.lines), c.codes) << c.name;
        for (IWbemServices* services : {shortOldest, shortNewest}) {
            const char* order = services == shortOldest ? "oldest first" : "newest first";
            TRun run = Run(services, point, 100);
            EXPECT_EQ(run.step, CCatchUp::TStep::Done) << c.name << ", " << order;
            EXPECT_EQ(Codes(run.lines), c.codes) << c.name << ", " << order;
            EXPECT_EQ(run.after.logs["System"].recordNumber, 6) << c.name << ", " << order;
        }
    }
}

// A log whose numbers wrapped from 4294967295 to 0: records 101..108 are
// numbered 4294967292..4294967295, 0..3. From a point before the wrap the
// records after it come across the wrap; from a point after it, the older
// records numbered above it are not delivered again. Either way in the
// order written, whatever order and batches the host answers in.
TEST_F(CatchUpOrder, WrappedLogIsCaughtUpInWriteOrder) {
    Write("System", 8, 101);
    ASSERT_EQ(store.renumberRecords("10.0.0.5", 4294967292LL), wmi::sim::SimResult::Ok);
    struct {
        const char* name;
        TLogPosition position;
        std::vector<std::string> codes;
    } cases[] = {
        {"point before the wrap",
         Position(4294967293LL, kNoon + kSecond),
         {"103", "104", "105", "106", "107", "108"}},
        {"point at the top",
         Position(4294967295LL, kNoon + 3 * kSecond),
         {"105", "106", "107", "108"}},
        {"point after the wrap", Position(1, kNoon + 5 * kSecond), {"107", "108"}},
    };
    for (const auto& c : cases) {
        TResumePoint point;
        point.logs["System"] = c.position;
        for (IWbemServices* services : {oldestFirst, newestFirst, shortOldest, shortNewest}) {
            SCOPED_TRACE(services == oldestFirst   ? "oldest first"
                         : services == newestFirst ? "newest first"
                         : services == shortOldest ? "short batches, oldest first"
                                                   : "short batches, newest first");
            TRun run = Run(services, point, 100);
            EXPECT_EQ(run.step, CCatchUp::TStep::Done) << c.name;
            EXPECT_EQ(Codes(run.lines), c.codes) << c.name;
            EXPECT_EQ(run.after.logs["System"].recordNumber, 3u) << c.name;
        }
    }
}

}  // namespace
