#include "wmi/sim/wsman/eventxpath.h"

#include <cctype>
#include <cstdlib>

#include "wmi/sim/simtime.h"

namespace wmi::wsman {

uint32_t LevelOf(const sim::SimEvent& e) {
    if (e.channel) return e.channel->level;
    static constexpr uint32_t kLevels[] = {4, 2, 3, 4, 0, 0};
    return e.eventType >= 1 && e.eventType <= 5 ? kLevels[e.eventType] : 4;
}

// Recursive descent over the query text; `depth` bounds the nesting.
class EventXPath::Parser {
  public:
    Parser(std::string_view text, std::string& error) : s(text), error(error) {}

    bool Predicate(Node& out, bool inTime, int depth) {
        if (depth > 32) return Fail("nested too deep");
        Node first;
        if (!Conjunction(first, inTime, depth)) return false;
        if (!Word("or")) {
            out = std::move(first);
            return true;
        }
        out = Node{Node::Kind::Or, {}, {}, {}, 0};
        out.kids.push_back(std::move(first));
        do {
            Node next;
            if (!Conjunction(next, inTime, depth)) return false;
            out.kids.push_back(std::move(next));
        } while (Word("or"));
        return true;
    }

    bool Literal(char c) {
        Space();
        if (pos < s.size() && s[pos] == c) {
            ++pos;
            return true;
        }
        return false;
    }
    bool AtEnd() {
        Space();
        return pos == s.size();
    }
    bool Fail(const std::string& what) {
        if (error.empty()) error = what + " at offset " + std::to_string(pos);
        return false;
    }

  private:
    bool Conjunction(Node& out, bool inTime, int depth) {
        Node first;
        if (!Primary(first, inTime, depth)) return false;
        if (!Word("and")) {
            out = std::move(first);
            return true;
        }
        out = Node{Node::Kind::And, {}, {}, {}, 0};
        out.kids.push_back(std::move(first));
        do {
            Node next;
            if (!Primary(next, inTime, depth)) return false;
            out.kids.push_back(std::move(next));
        } while (Word("and"));
        return true;
    }

    bool Primary(Node& out, bool inTime, int depth) {
        if (Literal('(')) {
            return Predicate(out, inTime, depth + 1) && (Literal(')') || Fail("')' expected"));
        }
        if (!inTime && Word("System")) {
            return (Literal('[') || Fail("'[' expected")) && Predicate(out, false, depth + 1) &&
                   (Literal(']') || Fail("']' expected"));
        }
        if (!inTime && Word("TimeCreated")) {
            return (Literal('[') || Fail("'[' expected")) && Predicate(out, true, depth + 1) &&
                   (Literal(']') || Fail("']' expected"));
        }
        out = Node{};
        if (inTime) {
            if (!Word("@SystemTime")) return Fail("@SystemTime expected");
            out.field = Field::SystemTime;
        } else if (Word("Level")) {
            out.field = Field::Level;
        } else if (Word("EventID")) {
            out.field = Field::EventId;
        } else if (Word("EventRecordID")) {
            out.field = Field::EventRecordId;
        } else if (Word("Task")) {
            out.field = Field::Task;
        } else if (Word("Opcode")) {
            out.field = Field::Opcode;
        } else {
            return Fail("unknown test");
        }
        if (!Operator(out.op)) return Fail("comparison expected");
        return inTime ? Time(out.value) : Number(out.value);
    }

    void Space() {
        while (pos < s.size() && std::isspace(static_cast<unsigned char>(s[pos]))) ++pos;
    }
    // The word `w` when it is not the start of a longer name.
    bool Word(std::string_view w) {
        Space();
        if (s.substr(pos, w.size()) != w) return false;
        const size_t end = pos + w.size();
        if (end < s.size() && (std::isalnum(static_cast<unsigned char>(s[end])) || s[end] == '_')) {
            return false;
        }
        pos = end;
        return true;
    }
    bool Operator(Op& op) {
        Space();
        static constexpr struct {
            std::string_view text;
            Op op;
        } kOps[] = {{"!=", Op::Ne}, {"<=", Op::Le}, {">=", Op::Ge},
                    {"=", Op::Eq},  {"<", Op::Lt},  {">", Op::Gt}};
        for (const auto& o : kOps) {
            if (s.substr(pos, o.text.size()) == o.text) {
                pos += o.text.size();
                op = o.op;
                return true;
            }
        }
        return false;
    }
    bool Number(int64_t& value) {
        Space();
        const size_t start = pos;
        while (pos < s.size() && std::isdigit(static_cast<unsigned char>(s[pos]))) ++pos;
        if (pos == start || pos - start > 18) return Fail("number expected");
        value = std::strtoll(std::string(s.substr(start, pos - start)).c_str(), nullptr, 10);
        return true;
    }
    // A quoted time; digits past microseconds are cut.
    bool Time(int64_t& value) {
        Space();
        if (pos >= s.size() || (s[pos] != '\'' && s[pos] != '"'))
            return Fail("quoted time expected");
        const char quote = s[pos++];
        const size_t end = s.find(quote, pos);
        if (end == std::string_view::npos) return Fail("unterminated time");
        std::string text(s.substr(pos, end - pos));
        pos = end + 1;
        const size_t dot = text.find('.');
        if (dot != std::string::npos) {
            size_t digits = dot + 1;
            while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) {
                ++digits;
            }
            if (digits - dot - 1 > 6) text.erase(dot + 7, digits - dot - 7);
        }
        if (!sim::ParseUserTime(text, value)) return Fail("malformed time '" + text + "'");
        return true;
    }

    std::string_view s;
    size_t pos = 0;
    std::string& error;
};

bool EventXPath::Compile(std::string_view xpath, std::string& error) {
    error.clear();
    Parser p(xpath, error);
    all = true;
    root = Node{};
    if (!p.Literal('*')) return p.Fail("'*' expected");
    if (p.AtEnd()) return true;
    if (!p.Literal('[') || !p.Predicate(root, false, 0) || !p.Literal(']')) {
        return p.Fail("malformed predicate");
    }
    if (!p.AtEnd()) return p.Fail("text after the query");
    all = false;
    return true;
}

bool EventXPath::Matches(const sim::SimEvent& e) const { return all || Eval(root, e); }

bool EventXPath::Eval(const Node& n, const sim::SimEvent& e) {
    switch (n.kind) {
        case Node::Kind::And:
            for (const Node& k : n.kids) {
                if (!Eval(k, e)) return false;
            }
            return true;
        case Node::Kind::Or:
            for (const Node& k : n.kids) {
                if (Eval(k, e)) return true;
            }
            return false;
        case Node::Kind::Compare:
            break;
    }
    int64_t v = 0;
    switch (n.field) {
        case Field::Level:
            v = LevelOf(e);
            break;
        case Field::EventId:
            v = e.eventCode;
            break;
        case Field::EventRecordId:
            v = e.eventRecordId;
            break;
        case Field::Task:
            v = e.channel ? e.channel->task : static_cast<uint32_t>(e.category);
            break;
        case Field::Opcode:
            v = e.channel ? e.channel->opcode : 0;
            break;
        case Field::SystemTime:
            v = e.timeGenerated;
            break;
    }
    switch (n.op) {
        case Op::Eq:
            return v == n.value;
        case Op::Ne:
            return v != n.value;
        case Op::Lt:
            return v < n.value;
        case Op::Le:
            return v <= n.value;
        case Op::Gt:
            return v > n.value;
        case Op::Ge:
            return v >= n.value;
    }
    return false;
}

}  // namespace wmi::wsman
