#include "engine/catchup.h"

#include <algorithm>

#include "base/logger.h"
#include "base/stringformat.h"
#include "engine/eventquery.h"
#include "engine/eventrecord.h"
#include "engine/threadinfra.h"
#include "wmi/cim/ascii.h"
#include "wmi/cim/ntlogevent.h"
#include "wmi/wmiconnector.h"

namespace {

const char* const kDataBase = "SELECT * FROM Win32_NTLogEvent WHERE ";

// Half the range of RecordNumber: the numbers up to this far after a
// record (modulo 2^32) were written after it.
constexpr uint32_t kHalfRange = 0x80000000u;

// Whether record `a` of a log was written before record `b`: numbers count
// modulo 2^32.
bool WrittenBefore(uint32_t a, uint32_t b) { return wmi::cim::RecordNumberAfter(a, b); }

// A WQL string literal: the text between single quotes, with a quote or a
// backslash escaped by a backslash.
std::string Quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'' || c == '\\') out += '\\';
        out += c;
    }
    return out + "'";
}

}  // namespace

CCatchUp::CCatchUp(const TSubscriptionNode& node, size_t cap) : maxRecords(cap) {
    if (node.eventType != "*") severityClause = " AND EventType <= " + node.eventType;
    const bool allLogs = node.category == "*";
    std::string others;
    for (const auto& [log, position] : node.resume.logs) {
        // Log names compare as Windows compares them.
        if (!allLogs && !wmi::cim::EqualsIgnoringCase(log, node.category)) continue;
        TQuery q;
        q.log = log;
        q.byRecord = true;
        q.position = position;
        q.text =
            kDataBase + ("LogFile = " + Quoted(log)) +
            StringFormat(" AND RecordNumber >= %u", static_cast<unsigned>(position.recordNumber)) +
            severityClause;
        const bool acrossWrap = position.recordNumber >= kHalfRange;
        plan.push_back(std::move(q));
        if (acrossWrap) {
            // The numbers that follow N continue from 0 after the wrap.
            TQuery below;
            below.log = log;
            below.acrossWrap = true;
            below.position = position;
            below.text = kDataBase + ("LogFile = " + Quoted(log)) +
                         StringFormat(" AND RecordNumber <= %u",
                                      static_cast<unsigned>(position.recordNumber - kHalfRange)) +
                         " AND TimeWritten >= " + Quoted(position.timeWritten) + severityClause;
            plan.push_back(std::move(below));
        }
        others += " AND LogFile <> " + Quoted(log);
    }
    const bool categoryHasPosition = !allLogs && !plan.empty();
    if (!categoryHasPosition && !node.resume.since.empty()) {
        TQuery q;
        q.text = kDataBase + ("TimeWritten >= " + Quoted(node.resume.since));
        if (allLogs) {
            q.text += others;
        } else {
            q.log = node.category;
            q.text += " AND LogFile = " + Quoted(node.category);
        }
        q.text += severityClause;
        plan.push_back(std::move(q));
    }
}

CCatchUp::~CCatchUp() { CloseQuery(); }

std::vector<std::string> CCatchUp::QueryTexts() const {
    std::vector<std::string> texts;
    for (const TQuery& q : plan) texts.push_back(q.text);
    return texts;
}

void CCatchUp::CloseQuery() { enumerator.Reset(); }

CCatchUp::TStep CCatchUp::Step(TSubscriptionNode& node, size_t budget, int32_t pollTimeoutMs,
                               std::vector<TOutputItem>* items, HRESULT* error) {
    if (!merged) {
        TStep step = Read(node, budget, pollTimeoutMs, error);
        if (step != TStep::Done) return step;
        Merge();
        if (skipped > 0) {
            LOG(WARN, "[queryThread] Catch-up skipped the %llu oldest of %llu records - %s",
                static_cast<unsigned long long>(skipped),
                static_cast<unsigned long long>(skipped + ready.size()), node.Describe().c_str());
        }
        // The records that could not be read are left out too.
        if (skipped + unreadable > 0) {
            TNotice notice;
            notice.kind = TNoticeKind::EventsSkipped;
            notice.host = node.host;
            notice.category = node.category;
            notice.severity = node.eventType;
            notice.at = time(nullptr);
            notice.count = skipped + unreadable;
            node.counters.overCap += skipped;
            items->emplace_back(std::in_place_type<TNotice>, std::move(notice));
        }
    }
    for (size_t n = 0; n < budget && !ready.empty(); ++n) {
        TRecord& record = ready.front();
        items->push_back(std::move(record.event));
        if (record.writtenMicros != 0) lastWritten = record.writtenMicros;
        node.resume.logs[record.log] = std::move(record.position);
        ready.pop_front();
        ++delivered;
    }
    return ready.empty() ? TStep::Done : TStep::More;
}

CCatchUp::TStep CCatchUp::Read(TSubscriptionNode& node, size_t budget, int32_t pollTimeoutMs,
                               HRESULT* error) {
    CWmiConnector& pool = CWmiConnector::Instance();
    size_t taken = 0;
    while (current < plan.size() && taken < budget) {
        if (!enumerator) {
            LOG(DEBUG, "[queryThread] Catching up with %s - %s", plan[current].text.c_str(),
                node.Describe().c_str());
            HRESULT hr = ExecWql(node.services, plan[current].text, false,
                                 enumerator.ReleaseAndGetAddressOf());
            if (FAILED(hr)) {
                CloseQuery();
                *error = hr;
                return TStep::Failed;
            }
            pool.setProxyBlanket(enumerator.Get(), node.user, node.password);
            pointSeen = false;
        }
        IWbemClassObject* buffer[kBatchSlots] = {};
        ULONG returned = 0;
        const ULONG want = static_cast<ULONG>(std::min<size_t>(kBatchSlots, budget - taken));
        HRESULT hr = enumerator->Next(pollTimeoutMs, want, buffer, &returned);
        if (SUCCEEDED(hr)) answered = true;
        bool cleared = false;
        for (ULONG i = 0; i < returned; ++i) {
            // After a clash the rest of the answer is of no use: the log is
            // read again by time.
            if (!cleared) {
                switch (Take(node, buffer[i])) {
                    case TTaken::Kept:
                        break;
                    case TTaken::PointSeen:
                        pointSeen = true;
                        break;
                    case TTaken::LogCleared:
                        cleared = true;
                        break;
                }
            }
            buffer[i]->Release();
        }
        taken += returned;
        if (FAILED(hr)) {
            CloseQuery();
            *error = hr;
            return TStep::Failed;
        }
        if (cleared) {
            // Whether or not the answer has ended: this query is done with.
            CloseQuery();
            ReadAgainByTime(node);
            continue;
        }
        if (hr == WBEM_S_TIMEDOUT) break;  // nothing more yet: the next turn looks again
        if (hr != WBEM_S_NO_ERROR && hr != WBEM_S_FALSE) {
            CloseQuery();
            *error = hr;
            return TStep::Failed;
        }
        if (hr == WBEM_S_FALSE || returned == 0) {
            CloseQuery();
            if (plan[current].byRecord && !pointSeen) {
                // The resume point's own record is gone.
                ReadAgainByTime(node);
                continue;
            }
            ++current;
        }
    }
    return current < plan.size() ? TStep::More : TStep::Done;
}

CCatchUp::TTaken CCatchUp::Take(TSubscriptionNode& node, IWbemClassObject* object) {
    const TQuery& query = plan[current];
    std::string log;
    TLogPosition position;
    if (object == nullptr || !ReadRecordPosition(object, &log, &position)) return TTaken::Kept;
    if (query.byRecord && position.recordNumber == query.position.recordNumber) {
        // The same number and time: delivered before. The number given
        // again to a later record: the log was cleared.
        return position == query.position ? TTaken::PointSeen : TTaken::LogCleared;
    }
    if (query.byRecord || query.acrossWrap) {
        const uint32_t point = query.position.recordNumber;
        if (!WrittenBefore(point, position.recordNumber)) {
            // A number above the point written before it: the log has
            // wrapped since this record.
            NoteWrapped(node);
            return TTaken::Kept;
        }
        if (query.acrossWrap) NoteWrapped(node);
    }
    TRecord record;
    std::string failure;
    if (!ReadEventData(node.host, object, &record.event, &failure)) {
        node.SkipUnreadable(log, position.recordNumber, failure);
        ++unreadable;
        return TTaken::Kept;
    }
    node.NoteOddText(record.event);
    if (!DmtfToMicros(position.timeWritten, &record.writtenMicros)) record.writtenMicros = 0;
    record.log = std::move(log);
    record.position = std::move(position);
    Keep(std::move(record));
    return TTaken::Kept;
}

void CCatchUp::NoteWrapped(const TSubscriptionNode& node) {
    const TQuery& query = plan[current];
    if (std::find(wrappedLogs.begin(), wrappedLogs.end(), query.log) != wrappedLogs.end()) return;
    wrappedLogs.push_back(query.log);
    LOG(WARN,
        "[queryThread] Log %s wrapped: its record numbers passed 4294967295 and began again; "
        "catching up from record %u in write order - %s",
        query.log.c_str(), static_cast<unsigned>(query.position.recordNumber),
        node.Describe().c_str());
}

void CCatchUp::ReadAgainByTime(const TSubscriptionNode& node) {
    // A read by time takes the records below the wrap as well.
    if (current + 1 < plan.size() && plan[current + 1].acrossWrap &&
        plan[current + 1].log == plan[current].log) {
        plan.erase(plan.begin() + static_cast<std::ptrdiff_t>(current + 1));
    }
    TQuery& query = plan[current];
    LOG(WARN,
        "[queryThread] Log %s was cleared or wrapped (record %u written %s is gone); "
        "catching up from that time - %s",
        query.log.c_str(), static_cast<unsigned>(query.position.recordNumber),
        query.position.timeWritten.c_str(), node.Describe().c_str());
    auto found = std::find(logNames.begin(), logNames.end(), query.log);
    if (found != logNames.end()) perLog[static_cast<size_t>(found - logNames.begin())] = {};
    query.byRecord = false;
    query.text = kDataBase + ("LogFile = " + Quoted(query.log)) +
                 " AND TimeWritten >= " + Quoted(query.position.timeWritten) + severityClause;
}

void CCatchUp::Keep(TRecord record) {
    auto found = std::find(logNames.begin(), logNames.end(), record.log);
    size_t index = static_cast<size_t>(found - logNames.begin());
    if (found == logNames.end()) {
        logNames.push_back(record.log);
        perLog.emplace_back();
    }
    TLogRecords& list = perLog[index];
    std::deque<TRecord>& records = list.records;
    // In record order (modulo 2^32): an answer oldest first appends, one
    // newest first prepends; anything else is placed where it belongs.
    const uint32_t number = record.position.recordNumber;
    if (records.empty() || WrittenBefore(records.back().position.recordNumber, number)) {
        records.push_back(std::move(record));
    } else if (WrittenBefore(number, records.front().position.recordNumber)) {
        records.push_front(std::move(record));
    } else {
        auto at = std::upper_bound(
            records.begin(), records.end(), number,
            [](uint32_t n, const TRecord& r) { return WrittenBefore(n, r.position.recordNumber); });
        records.insert(at, std::move(record));
    }
    // Only the newest maxRecords of all logs are delivered, so no log needs
    // more than that many.
    if (records.size() > maxRecords) {
        records.pop_front();
        ++list.dropped;
    }
}

void CCatchUp::Merge() {
    merged = true;
    size_t total = 0;
    uint64_t dropped = 0;
    for (const TLogRecords& list : perLog) {
        total += list.records.size();
        dropped += list.dropped;
    }
    std::vector<size_t> at(perLog.size(), 0);
    for (size_t n = 0; n < total; ++n) {
        size_t best = perLog.size();
        for (size_t i = 0; i < perLog.size(); ++i) {
            if (at[i] >= perLog[i].records.size()) continue;
            if (best == perLog.size()) {
                best = i;
                continue;
            }
            const TRecord& a = perLog[i].records[at[i]];
            const TRecord& b = perLog[best].records[at[best]];
            if (a.writtenMicros < b.writtenMicros ||
                (a.writtenMicros == b.writtenMicros &&
                 a.position.recordNumber < b.position.recordNumber)) {
                best = i;
            }
        }
        ready.push_back(std::move(perLog[best].records[at[best]++]));
    }
    perLog.clear();
    skipped = dropped;
    while (ready.size() > maxRecords) {
        ready.pop_front();
        ++skipped;
    }
}
