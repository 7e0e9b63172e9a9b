#include "serverframework/abstractthread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/platform/eventually.h"

using namespace RSLibrary;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Bodies receive their thread object and a shared record that may outlive
// the object (an abandoned body keeps running after its object is gone).
struct BodyState {
    std::atomic<int> runs{0};
    std::atomic<int> ticks{0};
    std::atomic<bool> release{false};
    std::atomic<bool> bodyLeft{false};
};

using Body = std::function<void(RSAbstractThread&, BodyState&)>;

// Polls isTerminated every millisecond, counting ticks.
void pollingBody(RSAbstractThread& self, BodyState& s) {
    while (!self.isTerminated()) {
        s.ticks.fetch_add(1);
        std::this_thread::sleep_for(1ms);
    }
}

// Never looks at isTerminated; runs until the test releases it, and then
// touches nothing of its object.
void stubbornBody(RSAbstractThread&, BodyState& s) {
    while (!s.release.load()) std::this_thread::sleep_for(1ms);
}

// Ordered record of the control calls that reach the threads of a tree.
struct CallLog {
    std::mutex m;
    std::vector<std::string> calls;
    void add(const std::string& call) {
        std::lock_guard<std::mutex> lk(m);
        calls.push_back(call);
    }
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> lk(m);
        return std::exchange(calls, {});
    }
};

class TestThread : public RSAbstractThread {
  public:
    explicit TestThread(Body b, std::shared_ptr<BodyState> s = std::make_shared<BodyState>(),
                        CallLog* log = nullptr)
        : body(std::move(b)), state(std::move(s)), calls(log) {}
    ~TestThread() override = default;

    bool start() override {
        note("start");
        return failStart ? false : RSAbstractThread::start();
    }
    bool terminate() override {
        note("terminate");
        return RSAbstractThread::terminate();
    }
    bool stop(int32_t deadline) override {
        note("stop");
        return RSAbstractThread::stop(deadline);
    }
    bool suspend() override {
        note("suspend");
        return RSAbstractThread::suspend();
    }
    bool resume() override {
        note("resume");
        return RSAbstractThread::resume();
    }

    // Works on copies, so that an abandoned body never reads the object
    // after its owner destroyed it.
    void run() override {
        const Body b = body;
        const std::shared_ptr<BodyState> s = state;
        s->runs.fetch_add(1);
        b(*this, *s);
        s->bodyLeft = true;
    }

    BodyState& shared() { return *state; }
    bool failStart = false;

  private:
    void note(const char* what) {
        if (calls != nullptr) calls->add(getName() + " " + what);
    }

    const Body body;
    const std::shared_ptr<BodyState> state;
    CallLog* const calls;
};

bool isZero(const RSSystemTime& t) {
    return t.year == 0 && t.month == 0 && t.dayOfWeek == 0 && t.day == 0 && t.hour == 0 &&
           t.minute == 0 && t.second == 0 && t.milliseconds == 0;
}

// The library's log lines, as the application's hook would receive them.
struct HookLines {
    static std::mutex m;
    static std::vector<std::string> lines;
    static void hook(int level, int, const char*, const char* text) {
        std::lock_guard<std::mutex> lk(m);
        lines.push_back(std::to_string(level) + " " + text);
    }
    static std::vector<std::string> take() {
        std::lock_guard<std::mutex> lk(m);
        return std::exchange(lines, {});
    }
};
std::mutex HookLines::m;
std::vector<std::string> HookLines::lines;

}  // namespace

TEST(RSAbstractThread, StartStopAndStartAgain) {
    TestThread t(pollingBody);
    ASSERT_TRUE(t.isInitialized());
    EXPECT_EQ(t.getState(), THREAD_INACTIVE);
    EXPECT_TRUE(t.stop(1000)) << "stop of a thread never started";

    ASSERT_TRUE(t.start());
    EXPECT_EQ(t.getState(), THREAD_RUNNING);
    EXPECT_TRUE(t.start()) << "start of a running thread";
    ASSERT_TRUE(Eventually([&] { return t.shared().ticks.load() > 0; }));
    EXPECT_EQ(t.shared().runs.load(), 1) << "a second start started another body";

    const auto before = Clock::now();
    EXPECT_TRUE(t.stop(5000));
    EXPECT_LT(Clock::now() - before, 2s) << "a polling body was not asked to end";
    EXPECT_EQ(t.getState(), THREAD_INACTIVE);
    EXPECT_TRUE(t.isTerminated());
    EXPECT_TRUE(t.shared().bodyLeft.load());
    EXPECT_FALSE(t.waitFor(0)) << "stop kept the OS thread";
    EXPECT_TRUE(isZero(t.getCreationTime())) << "no thread times without a thread";

    ASSERT_TRUE(t.start());
    EXPECT_FALSE(t.isTerminated()) << "start clears the terminate request";
    ASSERT_TRUE(Eventually([&] { return t.shared().runs.load() == 2; }));
    EXPECT_TRUE(t.stop(5000));
    EXPECT_EQ(t.getState(), THREAD_INACTIVE);
}

TEST(RSAbstractThread, BodyThatReturnsByItselfLeavesTheThreadInactive) {
    TestThread t([](RSAbstractThread&, BodyState&) {});
    ASSERT_TRUE(t.start());
    ASSERT_TRUE(Eventually([&] { return !t.isActive(); }));
    EXPECT_FALSE(t.isTerminated());
    EXPECT_TRUE(t.waitFor(5000)) << "the OS thread did not end";
    const auto before = Clock::now();
    EXPECT_TRUE(t.stop(5000));
    EXPECT_LT(Clock::now() - before, 1s);
    // Started again at once, the old thread's end must not clobber the state.
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(t.start());
        ASSERT_TRUE(Eventually([&] { return !t.isActive(); })) << "round " << i;
    }
}

TEST(RSAbstractThread, TerminateDoesNotWait) {
    TestThread t([](RSAbstractThread& self, BodyState& s) {
        while (!self.isTerminated()) std::this_thread::sleep_for(1ms);
        while (!s.release.load()) std::this_thread::sleep_for(1ms);
    });
    ASSERT_TRUE(t.start());
    EXPECT_TRUE(t.terminate());
    EXPECT_TRUE(t.isTerminated());
    EXPECT_TRUE(t.isActive()) << "terminate waited for the body";
    t.shared().release = true;
    ASSERT_TRUE(Eventually([&] { return !t.isActive(); }));
    EXPECT_TRUE(t.stop(1000));
}

TEST(RSAbstractThread, StopAbandonsABodyThatIgnoresTheRequest) {
    setLogHook(&HookLines::hook);
    HookLines::take();
    auto s = std::make_shared<BodyState>();
    auto t = std::make_unique<TestThread>(stubbornBody, s);
    t->setName("QueryThread");
    t->setNumber(7);
    ASSERT_TRUE(t->start());
    ASSERT_TRUE(Eventually([&] { return s->runs.load() == 1; }));

    constexpr int32_t kDeadline = 200;
    const auto before = Clock::now();
    EXPECT_TRUE(t->stop(kDeadline));
    const auto took = Clock::now() - before;
    EXPECT_GE(took, std::chrono::milliseconds(kDeadline));
    EXPECT_LT(took, std::chrono::milliseconds(10 * kDeadline));
    EXPECT_EQ(t->getState(), THREAD_INACTIVE);
    EXPECT_TRUE(t->hasAbandonedThread());
    EXPECT_FALSE(t->start()) << "a second body would run beside the abandoned one";
    EXPECT_EQ(s->runs.load(), 1);

    const auto lines = HookLines::take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("3 ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("QueryThread 7"), std::string::npos) << lines[0];

    s->release = true;
    ASSERT_TRUE(Eventually([&] { return !t->hasAbandonedThread(); }));
    EXPECT_TRUE(t->start()) << "the abandoned body has left";
    ASSERT_TRUE(Eventually([&] { return s->runs.load() == 2; }));
    EXPECT_TRUE(t->stop(5000));
    setLogHook(nullptr);
}

TEST(RSAbstractThread, AbandonedThreadNeverTouchesItsDestroyedObject) {
    auto state = std::make_shared<BodyState>();
    auto t = std::make_unique<TestThread>(stubbornBody, state);
    ASSERT_TRUE(t->start());
    ASSERT_TRUE(Eventually([&] { return state->runs.load() == 1; }));
    EXPECT_TRUE(t->stop(50));
    EXPECT_TRUE(t->hasAbandonedThread());
    t.reset();  // the owner destroys the object; the body still runs

    state->release = true;
    ASSERT_TRUE(Eventually([&] { return state->bodyLeft.load(); }));
    // The end of the entry routine would run now; under AddressSanitizer any
    // access to the freed object fails the test.
    std::this_thread::sleep_for(50ms);
}

TEST(RSAbstractThread, StopFromTheBodyItselfDoesNotWaitForItself) {
    setLogHook(&HookLines::hook);
    HookLines::take();
    TestThread t([](RSAbstractThread& self, BodyState& s) {
        const auto before = Clock::now();
        self.stop(5000);
        if (Clock::now() - before < 1s) s.ticks = 1;
    });
    ASSERT_TRUE(t.start());
    ASSERT_TRUE(Eventually([&] { return !t.isActive(); }));
    EXPECT_EQ(t.shared().ticks.load(), 1) << "stop waited for its own thread";
    EXPECT_TRUE(HookLines::take().empty());
    EXPECT_TRUE(t.stop(1000));
    setLogHook(nullptr);
}

TEST(RSAbstractThread, SuspendThenResume) {
    TestThread t(pollingBody);
    ASSERT_TRUE(t.start());
    ASSERT_TRUE(Eventually([&] { return t.shared().ticks.load() > 2; }));

    EXPECT_TRUE(t.suspend());
    EXPECT_EQ(t.getState(), THREAD_SUSPENDED);
    EXPECT_TRUE(t.isActive());
    EXPECT_TRUE(t.suspend()) << "suspend of a suspended thread";
    const int parkedAt = t.shared().ticks.load();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(t.shared().ticks.load(), parkedAt) << "the suspended body kept running";

    EXPECT_TRUE(t.resume());
    EXPECT_EQ(t.getState(), THREAD_RUNNING);
    EXPECT_TRUE(Eventually([&] { return t.shared().ticks.load() > parkedAt; }));
    EXPECT_TRUE(t.resume()) << "resume of a running thread";
    EXPECT_EQ(t.getState(), THREAD_RUNNING);

    // A suspended thread that is stopped is let go to see the request.
    EXPECT_TRUE(t.suspend());
    const auto before = Clock::now();
    EXPECT_TRUE(t.stop(5000));
    EXPECT_LT(Clock::now() - before, 2s);
    EXPECT_EQ(t.getState(), THREAD_INACTIVE);
    EXPECT_FALSE(t.hasAbandonedThread());
}

TEST(RSAbstractThread, BodyCannotSuspendItsOwnThread) {
    std::atomic<uint32_t> code{0};
    TestThread t([&code](RSAbstractThread& self, BodyState&) {
        try {
            self.suspend();
        } catch (const RSException& e) {
            code = e.getCode();
        }
    });
    ASSERT_TRUE(t.start());
    ASSERT_TRUE(Eventually([&] { return !t.isActive(); }));
    EXPECT_EQ(code.load(), RS_E_PLATFORM);
    EXPECT_TRUE(t.stop(1000));
}

TEST(RSAbstractThread, OperationsThatNeedAnActiveThreadRaise) {
    TestThread t(pollingBody);
    const struct {
        const char* what;
        std::function<void()> call;
        const char* text;  // null: any text
    } cases[] = {
        {"suspend", [&] { t.suspend(); }, "Cannot suspend a non active thread tree."},
        {"resume", [&] { t.resume(); }, nullptr},
        {"setPriority", [&] { t.setPriority(platform::kPriorityBelowNormal); },
         "Cannot set priority of a non active thread."},
        {"getPriority", [&] { t.getPriority(); }, nullptr},
    };
    for (const auto& c : cases) {
        try {
            c.call();
            ADD_FAILURE() << c.what << " did not raise";
        } catch (const RSException& e) {
            EXPECT_EQ(e.getCode(), RS_E_INVALID_STATE) << c.what;
            if (c.text != nullptr) {
                EXPECT_STREQ(e.what(), c.text) << c.what;
            }
        }
    }
}

TEST(RSAbstractThread, PriorityOfAnActiveThread) {
    TestThread t(pollingBody);
    ASSERT_TRUE(t.start());
    // Lowering is always allowed; raising may need rights the tests lack.
    EXPECT_TRUE(t.setPriority(platform::kPriorityIdle));
    EXPECT_EQ(t.getPriority(), platform::kPriorityIdle);
    EXPECT_FALSE(t.setPriority(12345)) << "not a priority level";
    EXPECT_TRUE(t.stop(5000));
}

TEST(RSAbstractThread, ThreadTimes) {
    TestThread t([](RSAbstractThread&, BodyState& s) {
        // Burn a little CPU so the user time is not nothing.
        volatile uint64_t x = 0;
        const auto end = Clock::now() + 30ms;
        while (Clock::now() < end) x = x + 1;
        while (!s.release.load()) std::this_thread::sleep_for(1ms);
    });
    EXPECT_TRUE(isZero(t.getCreationTime()));
    EXPECT_TRUE(isZero(t.getExitTime()));
    EXPECT_TRUE(isZero(t.getKernelTime()));
    EXPECT_TRUE(isZero(t.getUserTime()));

    ASSERT_TRUE(t.start());
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    const RSSystemTime created = t.getCreationTime();
    EXPECT_EQ(created.year, utc.tm_year + 1900);
    EXPECT_EQ(created.month, utc.tm_mon + 1);
    EXPECT_EQ(t.getExitTime().year, 1601) << "a running thread has no exit time";

    t.shared().release = true;
    ASSERT_TRUE(Eventually([&] { return !t.isActive(); }));
    ASSERT_TRUE(t.waitFor(5000));
    EXPECT_EQ(t.getExitTime().year, utc.tm_year + 1900);
    const RSSystemTime user = t.getUserTime();
    EXPECT_EQ(user.year, 1601) << "durations count from 1 January 1601";
    EXPECT_EQ(user.month, 1);
    EXPECT_EQ(user.day, 1);
    EXPECT_GT(user.second * 1000 + user.milliseconds + t.getKernelTime().milliseconds, 0);

    EXPECT_TRUE(t.stop(1000));
}

TEST(RSAbstractThread, TreeWalksChildrenInTheirOrders) {
    CallLog log;
    TestThread parent(pollingBody, std::make_shared<BodyState>(), &log);
    TestThread a(pollingBody, std::make_shared<BodyState>(), &log);
    TestThread b(pollingBody, std::make_shared<BodyState>(), &log);
    TestThread c(pollingBody, std::make_shared<BodyState>(), &log);
    parent.setName("P");
    a.setName("A");
    b.setName("B");
    c.setName("C");
    a.setParent(&parent);
    b.setParent(&parent);
    c.setParent(&parent);
    EXPECT_EQ(c.getParent(), &parent);

    using Calls = std::vector<std::string>;
    ASSERT_TRUE(parent.start());
    EXPECT_EQ(log.take(), (Calls{"P start", "A start", "B start", "C start"}));
    EXPECT_TRUE(a.isActive() && b.isActive() && c.isActive());

    ASSERT_TRUE(parent.suspend());
    EXPECT_EQ(log.take(), (Calls{"P suspend", "C suspend", "B suspend", "A suspend"}));
    EXPECT_TRUE(a.isSuspended() && b.isSuspended() && c.isSuspended());

    ASSERT_TRUE(parent.resume());
    EXPECT_EQ(log.take(), (Calls{"P resume", "A resume", "B resume", "C resume"}));

    ASSERT_TRUE(parent.stop(5000));
    EXPECT_EQ(log.take(), (Calls{"P stop", "C stop", "B stop", "A stop"}));
    EXPECT_FALSE(a.isActive() || b.isActive() || c.isActive() || parent.isActive());

    ASSERT_TRUE(parent.start());
    log.take();
    ASSERT_TRUE(parent.terminate());
    EXPECT_EQ(log.take(), (Calls{"P terminate", "C terminate", "B terminate", "A terminate"}));
    EXPECT_TRUE(a.isTerminated() && b.isTerminated() && c.isTerminated() && parent.isTerminated());
    ASSERT_TRUE(parent.stop(5000));
    log.take();

    // Moving a child to another parent, and removing every occurrence.
    TestThread other(pollingBody);
    b.setParent(&other);
    EXPECT_EQ(b.getParent(), &other);
    parent.addChild(&c);
    parent.removeChild(&c);
    ASSERT_TRUE(parent.start());
    EXPECT_EQ(log.take(), (Calls{"P start", "A start"}));
    EXPECT_FALSE(b.isActive());
    EXPECT_FALSE(c.isActive());
    ASSERT_TRUE(parent.stop(5000));
    b.setParent(nullptr);
    a.setParent(nullptr);
}

TEST(RSAbstractThread, FailingChildStopsTheParent) {
    CallLog log;
    TestThread parent(pollingBody, std::make_shared<BodyState>(), &log);
    TestThread good(pollingBody, std::make_shared<BodyState>(), &log);
    TestThread bad(pollingBody, std::make_shared<BodyState>(), &log);
    parent.setName("P");
    good.setName("G");
    bad.setName("X");
    bad.failStart = true;
    parent.addChild(&good);
    parent.addChild(&bad);
    EXPECT_FALSE(parent.start());
    EXPECT_FALSE(parent.isActive());
    EXPECT_FALSE(good.isActive()) << "the started child was not stopped";
    EXPECT_EQ(log.take(), (std::vector<std::string>{"P start", "G start", "X start", "G stop"}));
}

TEST(RSAbstractThreadDeathTest, DestroyingAnActiveThreadEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            // A body that does not call into the object while it is torn down.
            // The body must have started: a thread still on its way into the
            // object's run() when the destructor begins would call a pure
            // virtual function instead.
            auto state = std::make_shared<BodyState>();
            TestThread t(stubbornBody, state);
            t.start();
            while (state->runs.load() == 0) std::this_thread::sleep_for(1ms);
        },
        "Trying to delete an active thread object");
}
