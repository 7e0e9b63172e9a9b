#include "wmi/sim/evtximport.h"

// libevtx.h pulls in libbfio.h for the file-IO-handle entry points, which
// this importer does not use; dropping that feature before the header is read
// keeps the build free of libbfio's development files.
#include <libevtx/features.h>
#undef LIBEVTX_HAVE_BFIO
#include <libevtx.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <utility>

#include "platform/text.h"
#include "wmi/sim/simtime.h"

namespace wmi::sim {
namespace {

// ---- A small XML reader for the documents libevtx renders -----------------
// Elements, attributes, text, the five named entities and numeric character
// references; comments, processing instructions and CDATA are understood.
// Namespace prefixes are dropped from names.

struct XmlElement {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;
    std::vector<XmlElement> children;
    std::string text;  // the element's own character data, concatenated

    const XmlElement* child(std::string_view n) const {
        for (const XmlElement& c : children) {
            if (c.name == n) {
                return &c;
            }
        }
        return nullptr;
    }
    const std::string* attribute(std::string_view n) const {
        for (const auto& a : attributes) {
            if (a.first == n) {
                return &a.second;
            }
        }
        return nullptr;
    }
};

class XmlReader {
  public:
    explicit XmlReader(std::string_view text) : s(text) {}

    bool parseDocument(XmlElement& root, std::string& why) {
        skipMisc();
        if (!parseElement(root, 0)) {
            why = error.empty() ? "malformed XML" : error;
            return false;
        }
        skipMisc();
        if (pos != s.size()) {
            why = "text after the document element";
            return false;
        }
        return true;
    }

  private:
    static constexpr int kMaxDepth = 64;

    std::string_view s;
    size_t pos = 0;
    std::string error;

    bool fail(std::string what) {
        if (error.empty()) {
            error = std::move(what) + " at offset " + std::to_string(pos);
        }
        return false;
    }
    bool startsWith(std::string_view p) const { return s.substr(pos, p.size()) == p; }
    static bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
    void skipSpace() {
        while (pos < s.size() && isSpace(s[pos])) {
            ++pos;
        }
    }
    bool skipPast(std::string_view end) {
        const size_t e = s.find(end, pos);
        if (e == std::string_view::npos) {
            pos = s.size();
            return false;
        }
        pos = e + end.size();
        return true;
    }
    // White space, comments, processing instructions and a doctype.
    void skipMisc() {
        for (;;) {
            skipSpace();
            if (startsWith("<?")) {
                skipPast("?>");
            } else if (startsWith("<!--")) {
                skipPast("-->");
            } else if (startsWith("<!DOCTYPE")) {
                skipPast(">");
            } else {
                return;
            }
        }
    }
    static bool isNameChar(char c) {
        return !isSpace(c) && c != '>' && c != '/' && c != '=' && c != '<' && c != '"' && c != '\'';
    }
    bool parseName(std::string& name) {
        const size_t start = pos;
        while (pos < s.size() && isNameChar(s[pos])) {
            ++pos;
        }
        if (pos == start) {
            return fail("name expected");
        }
        name.assign(s.substr(start, pos - start));
        return true;
    }
    static std::string localName(const std::string& name) {
        const size_t colon = name.rfind(':');
        return colon == std::string::npos ? name : name.substr(colon + 1);
    }
    // Decodes character data up to `stop` (not consumed) into `out`.
    bool parseChars(char stop, std::string& out) {
        while (pos < s.size() && s[pos] != stop) {
            if (stop == '<' && startsWith("<")) {
                break;
            }
            const char c = s[pos];
            if (c != '&') {
                out.push_back(c);
                ++pos;
                continue;
            }
            const size_t semi = s.find(';', pos);
            if (semi == std::string_view::npos || semi - pos > 12) {
                return fail("unterminated entity");
            }
            const std::string_view ent = s.substr(pos + 1, semi - pos - 1);
            if (ent == "lt") {
                out.push_back('<');
            } else if (ent == "gt") {
                out.push_back('>');
            } else if (ent == "amp") {
                out.push_back('&');
            } else if (ent == "quot") {
                out.push_back('"');
            } else if (ent == "apos") {
                out.push_back('\'');
            } else if (ent.size() > 1 && ent[0] == '#') {
                const bool hex = ent[1] == 'x' || ent[1] == 'X';
                const std::string digits(ent.substr(hex ? 2 : 1));
                char* end = nullptr;
                errno = 0;
                const unsigned long cp = std::strtoul(digits.c_str(), &end, hex ? 16 : 10);
                if (digits.empty() || *end != '\0' || errno != 0 || cp > 0x10FFFF) {
                    return fail("bad character reference");
                }
                platform::AppendUtf8(out, static_cast<char32_t>(cp));
            } else {
                return fail("unknown entity");
            }
            pos = semi + 1;
        }
        return true;
    }
    bool parseElement(XmlElement& el, int depth) {
        if (depth > kMaxDepth) {
            return fail("elements nested too deep");
        }
        if (!startsWith("<")) {
            return fail("element expected");
        }
        ++pos;
        std::string name;
        if (!parseName(name)) {
            return false;
        }
        el.name = localName(name);
        for (;;) {
            skipSpace();
            if (pos >= s.size()) {
                return fail("unterminated start tag");
            }
            if (startsWith("/>")) {
                pos += 2;
                return true;
            }
            if (s[pos] == '>') {
                ++pos;
                break;
            }
            std::string attr;
            if (!parseName(attr)) {
                return false;
            }
            skipSpace();
            if (pos >= s.size() || s[pos] != '=') {
                return fail("'=' expected");
            }
            ++pos;
            skipSpace();
            if (pos >= s.size() || (s[pos] != '"' && s[pos] != '\'')) {
                return fail("quoted attribute value expected");
            }
            const char quote = s[pos++];
            std::string value;
            if (!parseChars(quote, value)) {
                return false;
            }
            if (pos >= s.size()) {
                return fail("unterminated attribute value");
            }
            ++pos;
            el.attributes.emplace_back(localName(attr), std::move(value));
        }
        // Content.
        for (;;) {
            if (!parseChars('<', el.text)) {
                return false;
            }
            if (pos >= s.size()) {
                return fail("unterminated element <" + el.name + ">");
            }
            if (startsWith("</")) {
                pos += 2;
                std::string closing;
                if (!parseName(closing)) {
                    return false;
                }
                if (localName(closing) != el.name) {
                    return fail("</" + closing + "> closes <" + el.name + ">");
                }
                skipSpace();
                if (pos >= s.size() || s[pos] != '>') {
                    return fail("'>' expected");
                }
                ++pos;
                return true;
            }
            if (startsWith("<!--")) {
                if (!skipPast("-->")) {
                    return fail("unterminated comment");
                }
            } else if (startsWith("<![CDATA[")) {
                pos += 9;
                const size_t end = s.find("]]>", pos);
                if (end == std::string_view::npos) {
                    return fail("unterminated CDATA");
                }
                el.text.append(s.substr(pos, end - pos));
                pos = end + 3;
            } else if (startsWith("<?")) {
                if (!skipPast("?>")) {
                    return fail("unterminated processing instruction");
                }
            } else {
                el.children.emplace_back();
                if (!parseElement(el.children.back(), depth + 1)) {
                    return false;
                }
            }
        }
    }
};

// ---- Record mapping --------------------------------------------------------

constexpr uint64_t kAuditSuccess = 0x0020000000000000ULL;
constexpr uint64_t kAuditFailure = 0x0010000000000000ULL;
// Microseconds between 1601-01-01 and 1970-01-01.
constexpr int64_t kFiletimeEpochMicros = 11644473600LL * 1000000LL;

int EventTypeOf(uint64_t keywords, uint64_t level) {
    if (keywords & kAuditSuccess) {
        return 4;
    }
    if (keywords & kAuditFailure) {
        return 5;
    }
    if (level == 1 || level == 2) {
        return 1;
    }
    if (level == 3) {
        return 2;
    }
    return 3;
}

// An unsigned number in decimal or, with 0x, hexadecimal; surrounding white
// space allowed.
bool ParseNumber(std::string_view text, uint64_t& value) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\n' || text.front() == '\t' ||
                             text.front() == '\r')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n' || text.back() == '\t' ||
                             text.back() == '\r')) {
        text.remove_suffix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) {
        return false;
    }
    uint64_t v = 0;
    for (const char c : text) {
        int d;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            d = c - 'A' + 10;
        } else {
            return false;
        }
        if (v > (UINT64_MAX - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) {
            return false;
        }
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    }
    value = v;
    return true;
}

// "YYYY-MM-DDThh:mm:ss[.fraction]Z": fractions beyond microseconds are cut.
bool ParseSystemTime(std::string_view text, int64_t& micros) {
    size_t dot = text.find('.');
    if (dot == std::string_view::npos) {
        return ParseUserTime(text, micros);
    }
    size_t end = dot + 1;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') {
        ++end;
    }
    std::string trimmed(text.substr(0, std::min(end, dot + 7)));
    trimmed.append(text.substr(end));
    return ParseUserTime(trimmed, micros);
}

// Leaf element values under `el`, depth first, in document order.
void CollectLeaves(const XmlElement& el, std::vector<std::string>& out) {
    for (const XmlElement& c : el.children) {
        if (c.children.empty()) {
            out.push_back(c.text);
        } else {
            CollectLeaves(c, out);
        }
    }
}

std::optional<std::vector<std::string>> InsertionStrings(const XmlElement& event) {
    std::vector<std::string> values;
    if (const XmlElement* data = event.child("EventData")) {
        for (const XmlElement& c : data->children) {
            if (c.name == "Data" || c.name == "ComplexData") {
                values.push_back(c.text);
            }
        }
    } else if (const XmlElement* user = event.child("UserData")) {
        for (const XmlElement& c : user->children) {
            CollectLeaves(c, values);
        }
    }
    if (values.empty()) {
        return std::nullopt;
    }
    return values;
}

uint32_t NumberOf(const XmlElement* el) {
    uint64_t v = 0;
    return el && ParseNumber(el->text, v) && v <= 0xFFFFFFFFULL ? static_cast<uint32_t>(v) : 0;
}

uint32_t NumberAttribute(const XmlElement* el, std::string_view name) {
    const std::string* text = el ? el->attribute(name) : nullptr;
    uint64_t v = 0;
    return text && ParseNumber(*text, v) && v <= 0xFFFFFFFFULL ? static_cast<uint32_t>(v) : 0;
}

std::string TextAttribute(const XmlElement* el, std::string_view name) {
    const std::string* text = el ? el->attribute(name) : nullptr;
    return text ? *text : std::string();
}

// The XML between <UserData> and </UserData> in the record's own text
// (the reader keeps no source spans; libevtx writes the element unprefixed).
std::optional<std::string> UserDataXml(std::string_view xml) {
    const size_t open = xml.find("<UserData>");
    const size_t close = xml.rfind("</UserData>");
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
        return std::nullopt;
    }
    const size_t from = open + std::string_view("<UserData>").size();
    std::string inner(xml.substr(from, close - from));
    const size_t b = inner.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) {
        return std::string();
    }
    return inner.substr(b, inner.find_last_not_of(" \t\r\n") - b + 1);
}

SimChannelFields ChannelFieldsOf(const XmlElement& root, const XmlElement& system,
                                 std::string_view xml) {
    SimChannelFields c;
    const XmlElement* provider = system.child("Provider");
    c.providerName = TextAttribute(provider, "Name");
    c.providerGuid = TextAttribute(provider, "Guid");
    c.version = NumberOf(system.child("Version"));
    c.level = NumberOf(system.child("Level"));
    c.task = NumberOf(system.child("Task"));
    c.opcode = NumberOf(system.child("Opcode"));
    if (const XmlElement* k = system.child("Keywords")) {
        ParseNumber(k->text, c.keywords);
    }
    c.activityId = TextAttribute(system.child("Correlation"), "ActivityID");
    const XmlElement* execution = system.child("Execution");
    c.processId = NumberAttribute(execution, "ProcessID");
    c.threadId = NumberAttribute(execution, "ThreadID");
    if (const XmlElement* data = root.child("EventData")) {
        for (const XmlElement& d : data->children) {
            if (d.name == "Data" || d.name == "ComplexData") {
                c.eventData.push_back({TextAttribute(&d, "Name"), d.text});
            }
        }
    } else if (root.child("UserData")) {
        c.userData = UserDataXml(xml);
    }
    return c;
}

// The innermost libevtx message: the first line of its backtrace, without
// the function name in front.
std::string LibevtxMessage(libevtx_error_t* err) {
    if (!err) {
        return "unknown error";
    }
    char buf[2048] = {0};
    libevtx_error_backtrace_sprint(err, buf, sizeof buf);
    std::string text(buf);
    const size_t nl = text.find('\n');
    if (nl != std::string::npos) {
        text.resize(nl);
    }
    const size_t colon = text.find(": ");
    if (colon != std::string::npos) {
        text.erase(0, colon + 2);
    }
    while (!text.empty() && (text.back() == '.' || text.back() == ' ')) {
        text.pop_back();
    }
    return text.empty() ? "unknown error" : text;
}

struct ErrorDeleter {
    void operator()(libevtx_error_t* e) const { libevtx_error_free(&e); }
};
using ErrorPtr = std::unique_ptr<libevtx_error_t, ErrorDeleter>;

// Owns an initialised libevtx file handle; closes it if it was opened.
class EvtxFile {
  public:
    ~EvtxFile() {
        if (opened) {
            libevtx_file_close(file, nullptr);
        }
        if (file) {
            libevtx_file_free(&file, nullptr);
        }
    }
    libevtx_file_t* file = nullptr;
    bool opened = false;
};

class EvtxRecord {
  public:
    ~EvtxRecord() {
        if (record) {
            libevtx_record_free(&record, nullptr);
        }
    }
    libevtx_record_t* record = nullptr;
};

// The record's XML and written time; false with `why` set when libevtx
// cannot give them.
bool ReadRecord(libevtx_file_t* file, int index, std::string& xml, uint64_t& written,
                uint64_t& identifier, std::string& why) {
    EvtxRecord rec;
    libevtx_error_t* raw = nullptr;
    if (libevtx_file_get_record_by_index(file, index, &rec.record, &raw) != 1) {
        ErrorPtr err(raw);
        why = LibevtxMessage(err.get());
        return false;
    }
    if (libevtx_record_get_identifier(rec.record, &identifier, nullptr) != 1) {
        identifier = 0;
    }
    if (libevtx_record_get_written_time(rec.record, &written, nullptr) != 1) {
        written = 0;
    }
    size_t size = 0;
    if (libevtx_record_get_utf8_xml_string_size(rec.record, &size, &raw) != 1 || size == 0) {
        ErrorPtr err(raw);
        why = "no XML form: " + LibevtxMessage(err.get());
        return false;
    }
    xml.assign(size, '\0');
    if (libevtx_record_get_utf8_xml_string(rec.record, reinterpret_cast<uint8_t*>(xml.data()), size,
                                           &raw) != 1) {
        ErrorPtr err(raw);
        why = "no XML form: " + LibevtxMessage(err.get());
        return false;
    }
    // The size counts the terminating NUL.
    xml.resize(size - 1);
    return true;
}

}  // namespace

bool EventFromEvtxXml(std::string_view xml, uint64_t writtenFiletime, SimEvent& out,
                      std::string* why) {
    XmlElement root;
    std::string reason;
    XmlReader reader(xml);
    if (!reader.parseDocument(root, reason)) {
        if (why) {
            *why = "unreadable XML: " + reason;
        }
        return false;
    }
    const XmlElement* system = root.child("System");
    if (root.name != "Event" || !system) {
        if (why) {
            *why = "no <Event><System> element";
        }
        return false;
    }
    const XmlElement* eventId = system->child("EventID");
    uint64_t id = 0;
    if (!eventId || !ParseNumber(eventId->text, id) || id > 0xFFFFFFFFULL) {
        if (why) {
            *why = "no valid EventID";
        }
        return false;
    }
    uint64_t qualifiers = 0;
    if (const std::string* q = eventId->attribute("Qualifiers")) {
        if (!ParseNumber(*q, qualifiers) || qualifiers > 0xFFFF) {
            if (why) {
                *why = "invalid EventID qualifiers '" + *q + "'";
            }
            return false;
        }
    }
    const XmlElement* created = system->child("TimeCreated");
    const std::string* systemTime = created ? created->attribute("SystemTime") : nullptr;
    int64_t generated = 0;
    if (!systemTime || !ParseSystemTime(*systemTime, generated)) {
        if (why) {
            *why = "no valid TimeCreated";
        }
        return false;
    }

    SimEvent e;
    e.eventCode = static_cast<uint32_t>(id & 0xFFFF);
    e.eventIdentifier = static_cast<uint32_t>((qualifiers << 16) | id);

    uint64_t keywords = 0;
    uint64_t level = 0;
    if (const XmlElement* k = system->child("Keywords")) {
        ParseNumber(k->text, keywords);
    }
    if (const XmlElement* l = system->child("Level")) {
        ParseNumber(l->text, level);
    }
    e.eventType = EventTypeOf(keywords, level);
    e.typeText = EventTypeText(e.eventType);

    if (const XmlElement* provider = system->child("Provider")) {
        const std::string* source = provider->attribute("EventSourceName");
        const std::string* name = provider->attribute("Name");
        if (source && !source->empty()) {
            e.sourceName = *source;
        } else if (name) {
            e.sourceName = *name;
        }
    }
    if (const XmlElement* channel = system->child("Channel")) {
        e.logFile = channel->text;
    }
    if (const XmlElement* computer = system->child("Computer")) {
        e.computerName = computer->text;
    }
    if (const XmlElement* security = system->child("Security")) {
        if (const std::string* sid = security->attribute("UserID")) {
            e.user = *sid;
        }
    }
    uint64_t task = 0;
    if (const XmlElement* t = system->child("Task")) {
        ParseNumber(t->text, task);
    }
    e.category = static_cast<int32_t>(task & 0x7FFFFFFF);

    e.channel = ChannelFieldsOf(root, *system, xml);
    uint64_t recordId = 0;
    if (const XmlElement* r = system->child("EventRecordID");
        r && ParseNumber(r->text, recordId) && recordId <= INT64_MAX) {
        e.eventRecordId = static_cast<int64_t>(recordId);
    }

    e.timeGenerated = generated;
    e.timeWritten = writtenFiletime != 0
                        ? static_cast<int64_t>(writtenFiletime / 10) - kFiletimeEpochMicros
                        : generated;
    e.insertionStrings = InsertionStrings(root);
    out = std::move(e);
    return true;
}

bool ReadEvtxFile(const std::string& path, std::vector<SimEvent>& events, EvtxReadReport& report,
                  std::string* error) {
    report = EvtxReadReport();
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(status)) {
        if (error) {
            *error = path + ": no such file";
        }
        return false;
    }
    if (std::filesystem::is_directory(status)) {
        if (error) {
            *error = path + ": is a folder, not an .evtx file";
        }
        return false;
    }
    EvtxFile f;
    libevtx_error_t* raw = nullptr;
    if (libevtx_file_initialize(&f.file, &raw) != 1) {
        ErrorPtr err(raw);
        if (error) {
            *error = path + ": cannot read: " + LibevtxMessage(err.get());
        }
        return false;
    }
    if (libevtx_file_open(f.file, path.c_str(), LIBEVTX_OPEN_READ, &raw) != 1) {
        ErrorPtr err(raw);
        if (error) {
            *error = path + ": not a readable .evtx file (" + LibevtxMessage(err.get()) + ")";
        }
        return false;
    }
    f.opened = true;
    int count = 0;
    if (libevtx_file_get_number_of_records(f.file, &count, &raw) != 1) {
        ErrorPtr err(raw);
        if (error) {
            *error = path + ": cannot count records (" + LibevtxMessage(err.get()) + ")";
        }
        return false;
    }
    report.records = static_cast<size_t>(count);
    std::string xml;
    for (int i = 0; i < count; ++i) {
        uint64_t written = 0;
        uint64_t identifier = 0;
        std::string why;
        SimEvent e;
        if (!ReadRecord(f.file, i, xml, written, identifier, why) ||
            !EventFromEvtxXml(xml, written, e, &why)) {
            ++report.skipped;
            std::string which = "record at index " + std::to_string(i);
            if (identifier != 0) {
                which += " (record number " + std::to_string(identifier) + ")";
            }
            report.warnings.push_back(path + ": " + which + " skipped: " + why);
            continue;
        }
        events.push_back(std::move(e));
    }
    return true;
}

SimResult ImportEvtxFiles(SimStore& store, const std::string& host,
                          const std::vector<std::string>& paths,
                          std::vector<EvtxReadReport>& reports, std::string* error) {
    reports.clear();
    SimHost h;
    const SimResult known = store.getHost(host, h, error);
    if (known != SimResult::Ok) {
        return known;
    }
    std::vector<SimEvent> events;
    for (const std::string& path : paths) {
        reports.emplace_back();
        if (!ReadEvtxFile(path, events, reports.back(), error)) {
            return SimResult::Failed;
        }
    }
    return store.appendEvents(host, events, error);
}

}  // namespace wmi::sim
