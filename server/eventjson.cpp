#include "server/eventjson.h"

#include <openssl/evp.h>
#include <rapidjson/writer.h>

#include <algorithm>

#include "base/stringformat.h"
#include "wmi/cim/cimtime.h"

namespace {

// RapidJSON's output stream over the caller's string: the object is
// written straight into it, and a string the caller reuses keeps its
// capacity, so that formatting a record allocates nothing once the buffer
// has grown to the records' size. The writer reserves room before it puts
// characters (PutReserve, PutUnsafe, found by argument-dependent lookup);
// Finish trims the string to what was written.
class StringStream {
  public:
    typedef char Ch;
    // The whole capacity of *out is writable from the start.
    explicit StringStream(std::string* out) : out(out) {
        out->clear();
        out->resize(out->capacity());
    }
    void Reserve(size_t count) {
        if (used + count > out->size()) out->resize(std::max(used + count, 2 * out->size()));
    }
    void PutUnsafe(char c) { (*out)[used++] = c; }
    void Put(char c) {
        Reserve(1);
        PutUnsafe(c);
    }
    void Flush() {}
    void Finish() { out->resize(used); }

  private:
    std::string* out;
    size_t used = 0;
};

void PutReserve(StringStream& stream, size_t count) { stream.Reserve(count); }
void PutUnsafe(StringStream& stream, char c) { stream.PutUnsafe(c); }

using Writer = rapidjson::Writer<StringStream>;

// The order of the event object's keys after Host.
constexpr TEventProperty kEventKeys[] = {
    TEventProperty::ComputerName,
    TEventProperty::Logfile,
    TEventProperty::RecordNumber,
    TEventProperty::EventCode,
    TEventProperty::EventIdentifier,
    TEventProperty::EventType,
    TEventProperty::Type,
    TEventProperty::SourceName,
    TEventProperty::Category,
    TEventProperty::CategoryString,
    TEventProperty::TimeGenerated,
    TEventProperty::TimeWritten,
    TEventProperty::User,
    TEventProperty::Message,
    TEventProperty::InsertionStrings,
    TEventProperty::Data,
};

void Text(Writer& w, const std::string& text) {
    w.String(text.data(), static_cast<rapidjson::SizeType>(text.size()), true);
}

void Key(Writer& w, const char* key) { w.Key(key); }

// Whether the number's text is one JSON takes (not "inf" or "nan").
bool JsonNumber(const std::string& text) {
    bool digit = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            digit = true;
        } else if (c != '-' && c != '+' && c != '.' && c != 'e' && c != 'E') {
            return false;
        }
    }
    return digit;
}

void Base64(Writer& w, const std::string& bytes) {
    std::string encoded(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<int>(bytes.size()));
    encoded.resize(length < 0 ? 0 : static_cast<size_t>(length));
    Text(w, encoded);
}

void Value(Writer& w, TEventProperty property, const TEventValue& v) {
    using K = TEventValue::TKind;
    switch (v.kind) {
        case K::Absent:
        case K::Empty:
        case K::Null:
            w.Null();
            return;
        case K::Number:
            if (JsonNumber(v.text)) {
                w.RawValue(v.text.data(), v.text.size(), rapidjson::kNumberType);
            } else {
                Text(w, v.text);
            }
            return;
        case K::Boolean:
            w.Bool(v.text != "0");
            return;
        case K::Text:
            if (property == TEventProperty::TimeGenerated ||
                property == TEventProperty::TimeWritten) {
                int64_t micros = 0;
                if (wmi::cim::ParseDmtf(v.text, micros)) {
                    Text(w, wmi::cim::FormatRfc3339(micros));
                    return;
                }
            }
            Text(w, v.text);
            return;
        case K::TextArray:
            w.StartArray();
            for (const std::string& item : v.items) Text(w, item);
            w.EndArray();
            return;
        case K::Bytes:
            Base64(w, v.text);
            return;
        case K::Other:
            Text(w, v.text);
            return;
    }
    w.Null();
}

}  // namespace

void EventJson(const TEventData& event, std::string* out) {
    StringStream stream(out);
    Writer w(stream);
    w.StartObject();
    Key(w, "Host");
    Text(w, event.host);
    for (TEventProperty property : kEventKeys) {
        Key(w, EventPropertyName(property));
        Value(w, property, event[property]);
    }
    w.EndObject();
    stream.Finish();
}

void NoticeJson(const TNotice& notice, std::string* out) {
    StringStream stream(out);
    Writer w(stream);
    w.StartObject();
    Key(w, "Notice");
    w.String(NoticeName(notice.kind));
    Key(w, "Host");
    Text(w, notice.host);
    Key(w, "Category");
    Text(w, notice.category);
    Key(w, "Severity");
    Text(w, notice.severity);
    Key(w, "Time");
    Text(w, wmi::cim::FormatRfc3339(static_cast<int64_t>(notice.at) * 1000000));
    switch (notice.kind) {
        case TNoticeKind::ConnectionFailed:
            Key(w, "Error");
            Text(w, notice.error);
            break;
        case TNoticeKind::EventsSkipped:
            Key(w, "Count");
            w.Uint64(notice.count);
            break;
        case TNoticeKind::ReplayFinished:
            Key(w, "From");
            Text(w, notice.timeFrom);
            Key(w, "To");
            Text(w, notice.timeTo);
            break;
        default:
            break;
    }
    w.EndObject();
    stream.Finish();
}
