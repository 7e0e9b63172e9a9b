// The event query the simulated WS-Management endpoint evaluates for the
// event log resource: the XPath subset a Windows event query uses on the
// System element, compiled once and matched against each stored record.
// Test tooling beside the simulator. Pure; a compiled filter is read-only
// and may be shared by threads.
//
// Accepted: "*" alone, or "*[P]" where P combines with and, or and
// parentheses the tests System[P], TimeCreated[P] and comparisons
// (=, !=, <, <=, >, >=) of Level, EventID, EventRecordID, Task, Opcode or
// @SystemTime (inside TimeCreated) with a number or a quoted time
// "YYYY-MM-DDThh:mm:ss[.fffffff]Z". Anything else is refused, as a Windows
// host refuses a query it cannot compile.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "wmi/sim/simstore.h"

namespace wmi::wsman {

class EventXPath {
  public:
    // Compiles `xpath`; false with `error` naming what was not understood.
    bool Compile(std::string_view xpath, std::string& error);
    // Whether the record matches (true for "*").
    bool Matches(const sim::SimEvent& e) const;

  private:
    enum class Field { Level, EventId, EventRecordId, Task, Opcode, SystemTime };
    enum class Op { Eq, Ne, Lt, Le, Gt, Ge };
    struct Node {
        enum class Kind { And, Or, Compare } kind = Kind::Compare;
        std::vector<Node> kids;
        Field field = Field::Level;
        Op op = Op::Eq;
        int64_t value = 0;
    };
    class Parser;

    static bool Eval(const Node& n, const sim::SimEvent& e);

    bool all = true;
    Node root;
};

// The level a record shows on a channel: its own, or for a record without
// channel fields the one its event type stands for (1 Error: 2, 2 Warning:
// 3, 3 Information: 4, audits: 0).
uint32_t LevelOf(const sim::SimEvent& e);

}  // namespace wmi::wsman
