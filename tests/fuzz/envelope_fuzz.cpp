// libFuzzer target of the WS-Management envelope reader: arbitrary bytes as
// an answer (ParseResponse) and as a request (ParseRequest). Whatever is
// accepted must be usable: every property of every item reads back through
// the object the provider hands to the engine, and a Pull answer with items
// is never also without a context unless it ended.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "wmi/sim/wsman/serverenvelope.h"
#include "wmi/wsman/envelope.h"
#include "wmi/wsman/wsmanobject.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

void ReadAll(const wmi::wsman::Instance& instance) {
    IWbemClassObject* object =
        wmi::wsman::MakeObject(std::make_shared<wmi::wsman::Instance>(instance));
    for (const auto& [name, value] : instance.properties) {
        std::u16string wide(name.begin(), name.end());
        VARIANT v;
        VariantInit(&v);
        object->Get(wide.c_str(), 0, &v, nullptr, nullptr);
        VariantClear(&v);
        if (value.object) ReadAll(*value.object);
    }
    object->Release();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    wmi::wsman::Response response;
    std::string error;
    if (wmi::wsman::ParseResponse(text, response, error)) {
        if (response.kind == wmi::wsman::Response::Kind::Pull) {
            Require(!response.context.empty() || response.endOfSequence);
        }
        for (const auto& item : response.items) ReadAll(item);
    } else {
        Require(!error.empty());
    }
    wmi::wsman::Request request;
    wmi::wsman::ParseRequest(text, request, error);
    return 0;
}
