#include "wmi/cim/wql.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <optional>

#include "wmi/cim/ascii.h"
#include "wmi/cim/cimtime.h"

namespace wmi::cim {

namespace {

enum class TokenKind { Identifier, Number, String, Operator, Star, End };

struct Token {
    TokenKind kind = TokenKind::End;
    std::string text;  // identifier or number as written, decoded string, operator
};

bool IsIdentifierStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool IsIdentifierChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Splits a query into tokens; false for a character or literal WQL does not
// allow here.
bool Tokenize(std::string_view text, std::vector<Token>& tokens) {
    size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            ++i;
        } else if (IsIdentifierStart(c)) {
            size_t start = i;
            while (true) {
                while (i < text.size() && IsIdentifierChar(text[i])) ++i;
                if (i + 1 < text.size() && text[i] == '.' && IsIdentifierStart(text[i + 1])) {
                    ++i;
                    continue;
                }
                break;
            }
            tokens.push_back({TokenKind::Identifier, std::string(text.substr(start, i - start))});
        } else if (IsDigit(c) || (c == '-' && i + 1 < text.size() && IsDigit(text[i + 1]))) {
            size_t start = i++;
            while (i < text.size() && IsDigit(text[i])) ++i;
            if (i + 1 < text.size() && text[i] == '.' && IsDigit(text[i + 1])) {
                ++i;
                while (i < text.size() && IsDigit(text[i])) ++i;
            }
            if (i < text.size() && IsIdentifierChar(text[i])) return false;
            tokens.push_back({TokenKind::Number, std::string(text.substr(start, i - start))});
        } else if (c == '\'' || c == '"') {
            char quote = c;
            std::string value;
            ++i;
            bool closed = false;
            while (i < text.size()) {
                char d = text[i++];
                if (d == quote) {
                    closed = true;
                    break;
                }
                if (d == '\\') {
                    if (i >= text.size()) return false;
                    char escaped = text[i++];
                    if (escaped != '\\' && escaped != '\'' && escaped != '"') return false;
                    value.push_back(escaped);
                } else {
                    value.push_back(d);
                }
            }
            if (!closed) return false;
            tokens.push_back({TokenKind::String, std::move(value)});
        } else if (c == '*') {
            tokens.push_back({TokenKind::Star, "*"});
            ++i;
        } else if (c == '=' || c == '<' || c == '>' || c == '!') {
            std::string op(1, c);
            ++i;
            if (i < text.size() && (text[i] == '=' || (c == '<' && text[i] == '>'))) {
                op.push_back(text[i++]);
            }
            if (op == "!") return false;
            tokens.push_back({TokenKind::Operator, std::move(op)});
        } else {
            return false;
        }
    }
    tokens.push_back({TokenKind::End, ""});
    return true;
}

struct RawTerm {
    std::string left;
    bool isa = false;
    std::string op;
    Token value;
};

struct RawQuery {
    std::string className;
    std::optional<std::string> within;
    std::vector<RawTerm> terms;
};

class Parser {
  public:
    explicit Parser(std::vector<Token> t) : tokens(std::move(t)) {}

    bool Parse(RawQuery& query) {
        if (!Keyword("SELECT") || !Take(TokenKind::Star) || !Keyword("FROM")) return false;
        if (!IsPlainIdentifier()) return false;
        query.className = tokens[pos++].text;
        if (Keyword("WITHIN")) {
            if (Peek().kind != TokenKind::Number) return false;
            query.within = tokens[pos++].text;
        }
        if (Keyword("WHERE")) {
            do {
                RawTerm term;
                if (!ParseTerm(term)) return false;
                query.terms.push_back(std::move(term));
            } while (Keyword("AND"));
        }
        return Peek().kind == TokenKind::End;
    }

  private:
    const Token& Peek() const { return tokens[pos]; }

    bool Take(TokenKind kind) {
        if (Peek().kind != kind) return false;
        ++pos;
        return true;
    }

    bool Keyword(const char* word) {
        if (Peek().kind != TokenKind::Identifier || !EqualsIgnoringCase(Peek().text, word)) {
            return false;
        }
        ++pos;
        return true;
    }

    bool IsPlainIdentifier() const {
        return Peek().kind == TokenKind::Identifier && Peek().text.find('.') == std::string::npos;
    }

    bool ParseTerm(RawTerm& term) {
        if (Peek().kind != TokenKind::Identifier) return false;
        term.left = tokens[pos++].text;
        if (Keyword("ISA")) {
            term.isa = true;
            if (Peek().kind != TokenKind::String) return false;
            term.value = tokens[pos++];
            return true;
        }
        if (Peek().kind != TokenKind::Operator) return false;
        term.op = tokens[pos++].text;
        if (Peek().kind != TokenKind::Number && Peek().kind != TokenKind::String) return false;
        term.value = tokens[pos++];
        return true;
    }

    std::vector<Token> tokens;
    size_t pos = 0;
};

// WITHIN seconds (a non-negative number, fractions allowed) as microseconds.
bool ParseWithin(std::string_view text, int64_t& micros) {
    if (text.empty() || text[0] == '-') return false;
    size_t dot = text.find('.');
    int64_t seconds = 0;
    if (!ParseInteger(text.substr(0, dot), seconds)) return false;
    if (seconds > std::numeric_limits<int64_t>::max() / 1000000) return false;
    int64_t fraction = 0;
    if (dot != std::string_view::npos) {
        std::string_view digits = text.substr(dot + 1);
        int64_t scale = 100000;
        for (size_t i = 0; i < digits.size() && scale > 0; ++i, scale /= 10) {
            fraction += (digits[i] - '0') * scale;
        }
    }
    micros = seconds * 1000000 + fraction;
    return true;
}

bool ParseOp(std::string_view text, WqlOp& op) {
    if (text == "=")
        op = WqlOp::Equal;
    else if (text == "<>" || text == "!=")
        op = WqlOp::NotEqual;
    else if (text == "<")
        op = WqlOp::Less;
    else if (text == "<=")
        op = WqlOp::LessEqual;
    else if (text == ">")
        op = WqlOp::Greater;
    else if (text == ">=")
        op = WqlOp::GreaterEqual;
    else
        return false;
    return true;
}

// Turns one comparison into a condition on a Win32_NTLogEvent property.
HRESULT MakeCondition(std::string_view propertyName, const RawTerm& term, WqlCondition& out) {
    if (!FindEventProperty(propertyName, out.property)) return WBEM_E_INVALID_QUERY;
    if (!ParseOp(term.op, out.op)) return WBEM_E_INVALID_QUERY;
    const Token& value = term.value;
    switch (KindOf(out.property)) {
        case PropertyKind::Number:
            return ParseInteger(value.text, out.number) ? WBEM_S_NO_ERROR : WBEM_E_INVALID_QUERY;
        case PropertyKind::Text:
            out.text = value.text;
            return WBEM_S_NO_ERROR;
        case PropertyKind::DateTime:
            if (value.kind != TokenKind::String) return WBEM_E_INVALID_QUERY;
            return ParseDmtf(value.text, out.number) ? WBEM_S_NO_ERROR : WBEM_E_INVALID_QUERY;
        case PropertyKind::TextArray:
            return WBEM_E_INVALID_QUERY;
    }
    return WBEM_E_INVALID_QUERY;
}

constexpr std::string_view kTargetPrefix = "TargetInstance.";

}  // namespace

HRESULT ParseWql(std::string_view text, bool notification, WqlQuery& query) {
    std::vector<Token> tokens;
    if (!Tokenize(text, tokens)) return WBEM_E_INVALID_QUERY;
    RawQuery raw;
    if (!Parser(std::move(tokens)).Parse(raw)) return WBEM_E_INVALID_QUERY;

    WqlQuery parsed;
    parsed.notification = notification;
    if (notification) {
        if (!EqualsIgnoringCase(raw.className, kCreationEventClass)) {
            return EqualsIgnoringCase(raw.className, kNtLogEventClass) ? WBEM_E_NOT_EVENT_CLASS
                                                                       : WBEM_E_INVALID_CLASS;
        }
        if (!raw.within || !ParseWithin(*raw.within, parsed.withinMicros)) {
            return WBEM_E_INVALID_QUERY;
        }
        int isaCount = 0;
        for (const RawTerm& term : raw.terms) {
            if (!term.isa) continue;
            if (!EqualsIgnoringCase(term.left, "TargetInstance")) return WBEM_E_INVALID_QUERY;
            if (!EqualsIgnoringCase(term.value.text, kNtLogEventClass)) {
                return WBEM_E_INVALID_CLASS;
            }
            ++isaCount;
        }
        if (isaCount != 1) return WBEM_E_INVALID_QUERY;
    } else {
        if (!EqualsIgnoringCase(raw.className, kNtLogEventClass)) return WBEM_E_INVALID_CLASS;
        if (raw.within) return WBEM_E_INVALID_QUERY;
    }

    for (const RawTerm& term : raw.terms) {
        if (term.isa) {
            if (!notification) return WBEM_E_INVALID_QUERY;
            continue;
        }
        std::string_view name = term.left;
        if (notification) {
            if (name.size() <= kTargetPrefix.size() ||
                !EqualsIgnoringCase(name.substr(0, kTargetPrefix.size()), kTargetPrefix)) {
                return WBEM_E_INVALID_QUERY;
            }
            name.remove_prefix(kTargetPrefix.size());
        }
        WqlCondition condition;
        HRESULT hr = MakeCondition(name, term, condition);
        if (FAILED(hr)) return hr;
        parsed.conditions.push_back(std::move(condition));
    }
    query = std::move(parsed);
    return WBEM_S_NO_ERROR;
}

void TimeGeneratedBounds(const WqlQuery& query, int64_t& from, int64_t& to) {
    from = std::numeric_limits<int64_t>::min();
    to = std::numeric_limits<int64_t>::max();
    for (const WqlCondition& condition : query.conditions) {
        if (condition.property != EventProperty::TimeGenerated) continue;
        int64_t value = condition.number;
        switch (condition.op) {
            case WqlOp::Equal:
                from = std::max(from, value);
                to = std::min(to, value);
                break;
            case WqlOp::Greater:
                if (value < std::numeric_limits<int64_t>::max())
                    from = std::max(from, value + 1);
                else
                    to = std::numeric_limits<int64_t>::min();
                break;
            case WqlOp::GreaterEqual:
                from = std::max(from, value);
                break;
            case WqlOp::Less:
                if (value > std::numeric_limits<int64_t>::min())
                    to = std::min(to, value - 1);
                else
                    from = std::numeric_limits<int64_t>::max();
                break;
            case WqlOp::LessEqual:
                to = std::min(to, value);
                break;
            case WqlOp::NotEqual:
                break;
        }
    }
}

int64_t RecordNumberFloor(const WqlQuery& query) {
    int64_t floor = 0;
    for (const WqlCondition& condition : query.conditions) {
        if (condition.property != EventProperty::RecordNumber) continue;
        switch (condition.op) {
            case WqlOp::Equal:
            case WqlOp::GreaterEqual:
                floor = std::max(floor, condition.number - 1);
                break;
            case WqlOp::Greater:
                floor = std::max(floor, condition.number);
                break;
            default:
                break;
        }
    }
    return floor;
}

}  // namespace wmi::cim
