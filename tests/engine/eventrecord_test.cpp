#include "engine/eventrecord.h"

#include <gtest/gtest.h>
#include <wbemidl.h>

#include "engine/threadinfra.h"
#include "tests/wmi/simfixture.h"
#include "wmi/locatorfactory.h"

using wmi::sim::SimEvent;

namespace {

VARIANT Make(VARTYPE vt) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    return v;
}

TEST(VariantToText, EachKindAsTheRecordWritesIt) {
    struct Case {
        VARIANT value;
        const char* text;
    };
    VARIANT i2 = Make(VT_I2);
    i2.iVal = -12;
    VARIANT boolean = Make(VT_BOOL);
    boolean.boolVal = VARIANT_TRUE;
    VARIANT i4 = Make(VT_I4);
    i4.lVal = 4624;
    VARIANT r4 = Make(VT_R4);
    r4.fltVal = 1.5f;
    VARIANT r8 = Make(VT_R8);
    r8.dblVal = 1234.5;
    VARIANT i1 = Make(VT_I1);
    i1.cVal = 'x';
    VARIANT ui1 = Make(VT_UI1);
    ui1.bVal = 200;
    VARIANT ui2 = Make(VT_UI2);
    ui2.uiVal = 65535;
    VARIANT ui4 = Make(VT_UI4);
    ui4.ulVal = 4000000000u;
    VARIANT vint = Make(VT_INT);
    vint.intVal = -7;
    VARIANT vuint = Make(VT_UINT);
    vuint.uintVal = 7;
    VARIANT date = Make(static_cast<VARTYPE>(7));  // a date: not a kind the record knows
    const Case cases[] = {
        {Make(VT_EMPTY), "<EMPTY>"},
        {Make(VT_NULL), "<NULL>"},
        {i2, "-12"},
        {boolean, "-1"},
        {i4, "4624"},
        {r4, "1.500000"},
        {r8, "1.234500E+03"},
        {i1, "x"},
        {ui1, "200"},
        {ui2, "65535"},
        {ui4, "4000000000"},
        {vint, "-7"},
        {vuint, "7"},
        {Make(VT_CLSID), "CLSID"},
        {date, "<UNKNOWN>"},
    };
    for (const Case& c : cases) EXPECT_EQ(VariantToText(c.value), c.text) << "vt " << c.value.vt;
}

TEST(VariantToText, StringsAndStringArrays) {
    VARIANT s = Make(VT_BSTR);
    s.bstrVal = SysAllocString(u"Gr\u00fc\u00dfe");
    EXPECT_EQ(VariantToText(s),
              "Gr\xc3\xbc\xc3\x9f"
              "e");
    VariantClear(&s);
    VARIANT none = Make(VT_BSTR);
    none.bstrVal = nullptr;
    EXPECT_EQ(VariantToText(none), "");

    VARIANT array = Make(VT_ARRAY | VT_BSTR);
    array.parray = SafeArrayCreateVector(VT_BSTR, 0, 2);
    LONG index = 0;
    BSTR first = SysAllocString(u"first insert");
    SafeArrayPutElement(array.parray, &index, first);
    SysFreeString(first);
    EXPECT_EQ(VariantToText(array), "first insert");
    VariantClear(&array);
    VARIANT empty = Make(VT_ARRAY | VT_BSTR);
    empty.parray = SafeArrayCreateVector(VT_BSTR, 0, 0);
    EXPECT_EQ(VariantToText(empty), "");
    VariantClear(&empty);
}

TEST(QuoteField, TextsWithABlankOrALineBreakAreQuotedAndEscaped) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},
        {"Error", "Error"},
        {"Audit Success", "\"Audit Success\""},
        {"say\"hi\"", "say\"hi\""},
        {"my \"src\"", "\"my \\\"src\\\"\""},
        // A line break never reaches the client raw: CR and LF are written
        // as the two characters \r and \n, in quotes.
        {"back\\slash and\r\nbreak", "\"back\\slash and\\r\\nbreak\""},
        {"one\ntwo", "\"one\\ntwo\""},
        {"\r", "\"\\r\""},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(QuoteField(in), out) << in;
    // A NUL neither ends the field nor reaches the line raw.
    EXPECT_EQ(QuoteField(std::string(1, '\0')), "\"\\0\"");
    EXPECT_EQ(QuoteField(std::string("a\0b c", 5)), "\"a\\0b c\"");
    EXPECT_EQ(QuoteLineBreaks(std::string("host\0", 5)), "\"host\\0\"");
}

// Event text that is not valid UTF-16 keeps the rest of its characters:
// each unpaired surrogate becomes U+FFFD; a NUL stays in the value.
TEST(VariantToText, UnpairedSurrogatesAndNulsKeepTheRestOfTheText) {
    struct Case {
        std::u16string wide;
        std::string text;
    };
    const Case cases[] = {
        {std::u16string(u"before ") + char16_t(0xD800) + u" after", "before \xEF\xBF\xBD after"},
        {std::u16string(u"x") + char16_t(0xDFFF), "x\xEF\xBF\xBD"},
        {std::u16string(u"cut\0here", 8), std::string("cut\0here", 8)},
    };
    for (const Case& c : cases) {
        VARIANT s = Make(VT_BSTR);
        s.bstrVal = SysAllocStringLen(c.wide.data(), static_cast<UINT>(c.wide.size()));
        TEventValue value = EventValueFromVariant(s);
        EXPECT_EQ(value.text, c.text) << c.text;
        VariantClear(&s);

        VARIANT array = Make(VT_ARRAY | VT_BSTR);
        array.parray = SafeArrayCreateVector(VT_BSTR, 0, 1);
        LONG index = 0;
        BSTR item = SysAllocStringLen(c.wide.data(), static_cast<UINT>(c.wide.size()));
        SafeArrayPutElement(array.parray, &index, item);
        SysFreeString(item);
        value = EventValueFromVariant(array);
        ASSERT_EQ(value.items.size(), 1u) << c.text;
        EXPECT_EQ(value.items[0], c.text) << c.text;
        VariantClear(&array);
    }
}

// Records built from events served by a real simulated host.
class EventRecordFromStore : public simtest::SimStoreFixture {
  protected:
    void SetUp() override {
        SimStoreFixture::SetUp();
        AddHost("10.1.1.1");
        wmi::UseSimStore(path);
    }
    void TearDown() override { wmi::UseSimStore(""); }

    // The records the host's events give, through a data query.
    std::vector<std::string> Records() {
        std::vector<std::string> records;
        TSubscriptionNode node;
        node.host = "10.1.1.1";
        node.isReplay = 1;
        ForEachEvent([&](IWbemClassObject* object) {
            std::string record;
            std::string failure;
            if (BuildEventRecord(node, object, &record, &failure)) records.push_back(record);
        });
        return records;
    }

    // The host's events as data, through a data query.
    std::vector<TEventData> Events() {
        std::vector<TEventData> events;
        ForEachEvent([&](IWbemClassObject* object) {
            TEventData data;
            std::string failure;
            if (ReadEventData("10.1.1.1", object, &data, &failure)) events.push_back(data);
        });
        return events;
    }

    // Calls take(object) for each event of the host, oldest first.
    template <typename Take>
    void ForEachEvent(Take take) {
        IWbemLocator* locator = nullptr;
        EXPECT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IWbemLocator, reinterpret_cast<void**>(&locator)),
                  S_OK);
        BSTR ns = SysAllocString(u"\\\\10.1.1.1\\root\\cimv2");
        IWbemServices* services = nullptr;
        EXPECT_EQ(locator->ConnectServer(ns, nullptr, nullptr, nullptr, 0x80, nullptr, nullptr,
                                         &services),
                  S_OK);
        BSTR wql = SysAllocString(u"WQL");
        BSTR query = SysAllocString(u"SELECT * FROM Win32_NTLogEvent");
        IEnumWbemClassObject* enumerator = nullptr;
        EXPECT_EQ(services->ExecQuery(wql, query, 0x30, nullptr, &enumerator), S_OK);
        for (;;) {
            IWbemClassObject* objects[50] = {};
            ULONG returned = 0;
            enumerator->Next(1000, 50, objects, &returned);
            if (returned == 0) break;
            for (ULONG i = 0; i < returned; ++i) {
                take(objects[i]);
                objects[i]->Release();
            }
        }
        enumerator->Release();
        services->Release();
        locator->Release();
        SysFreeString(ns);
        SysFreeString(wql);
        SysFreeString(query);
    }

    SimEvent Event(int type, const std::string& source,
                   std::optional<std::vector<std::string>> inserts) {
        SimEvent e;
        e.logFile = "Security";
        e.eventCode = 4624;
        e.eventIdentifier = 4624;
        e.eventType = type;
        e.typeText = type == 4 ? "Audit Success" : "Information";
        e.sourceName = source;
        e.timeGenerated = 1700000000LL * 1000000;
        e.timeWritten = e.timeGenerated;
        e.insertionStrings = std::move(inserts);
        e.computerName = "HOSTA";
        return e;
    }
};

TEST_F(EventRecordFromStore, FieldsInOrderWithQuotingOfBlankTexts) {
    Append("10.1.1.1", {Event(4, "Microsoft-Windows-Security-Auditing",
                              std::vector<std::string>{"S-1-5-18 SYSTEM", "second"})});
    Append("10.1.1.1", {Event(3, "My \"Src\"", std::nullopt)});
    Append("10.1.1.1", {Event(3, "EventLog", std::vector<std::string>{})});
    std::vector<std::string> records = Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(
        records[0],
        "NTEVENT: 10.1.1.1 20231114221320.000000+000 4624 Microsoft-Windows-Security-Auditing "
        "Security \"Audit Success\" \"S-1-5-18 SYSTEM\"\r\n.\r\n");
    EXPECT_EQ(records[1],
              "NTEVENT: 10.1.1.1 20231114221320.000000+000 4624 \"My \\\"Src\\\"\" Security "
              "Information <NULL>\r\n.\r\n");
    // An empty array leaves the last field empty: the line ends with a blank.
    EXPECT_EQ(
        records[2],
        "NTEVENT: 10.1.1.1 20231114221320.000000+000 4624 EventLog Security Information \r\n.\r\n");
}

// RecordNumber and EventIdentifier are unsigned 32-bit; the host hands
// them over as VT_I4, so past 2^31 they arrive negative.
TEST_F(EventRecordFromStore, UnsignedNumbersPast2To31ReadAsTheyAre) {
    NumberNextRecordFrom("10.1.1.1", 4294967290LL);
    SimEvent e = Event(4, "Microsoft-Windows-Security-Auditing", std::vector<std::string>{});
    e.eventIdentifier = 3221225572u;  // 0xC0000064, with its severity bits
    Append("10.1.1.1", {e});
    std::vector<TEventData> events = Events();
    ASSERT_EQ(events.size(), 2u);
    const TEventData& event = events[1];
    EXPECT_EQ(event[TEventProperty::RecordNumber].text, "4294967290");
    EXPECT_EQ(event[TEventProperty::EventIdentifier].text, "3221225572");
    ASSERT_TRUE(event.positioned);
    EXPECT_EQ(event.log, "Security");
    EXPECT_EQ(event.position.recordNumber, 4294967290u);
    // Numbers of 16 bits or fewer keep their text.
    EXPECT_EQ(event[TEventProperty::EventCode].text, "4624");
    EXPECT_EQ(events[0][TEventProperty::RecordNumber].text, "4294967289");
}

TEST(BuildEventRecord, MissingEventObjectIsReported) {
    TSubscriptionNode node;
    std::string record;
    std::string failure;
    EXPECT_FALSE(BuildEventRecord(node, nullptr, &record, &failure));
    EXPECT_EQ(failure, "NULL targetInstanceObj found");
}

}  // namespace
