// The SOAP 1.2 documents of WS-Management at the level of XML, shared by
// the provider's envelopes (wmi/wsman/envelope.h) and the simulated
// endpoint's: text escaped for element content and attribute values, the
// envelope's opening tag with the prefixes every message uses, and reading
// with pugixml where prefixes are resolved through the xmlns declarations
// in scope, so that a peer may name its namespaces as it likes. Pure
// functions, callable from any thread.
#pragma once

#include <pugixml.hpp>
#include <string>
#include <string_view>

namespace wmi::wsman::soap {

// ---- Writing -------------------------------------------------------------

// Appends `text` escaped; control characters XML 1.0 cannot carry are
// dropped.
void AppendEscaped(std::string& out, std::string_view text);

// Appends "<s:Envelope ...>" declaring s: (SOAP), a: (addressing), w:
// (WS-Management), p: (Microsoft's WS-Management), n: (enumeration) and
// e: (eventing).
void AppendEnvelopeOpen(std::string& out);

// ---- Reading -------------------------------------------------------------

// The part of a qualified name after its prefix.
std::string_view LocalName(const char* qualified);

// The namespace URI bound to the prefix of `qualified` where `scope`
// stands; "" when unbound.
const char* NamespaceOf(pugi::xml_node scope, const char* qualified);

// Whether `node` is the element `local` of namespace `ns`.
bool Is(pugi::xml_node node, const char* ns, std::string_view local);

// The first child element `local` of namespace `ns`; empty when none.
pugi::xml_node Child(pugi::xml_node parent, const char* ns, std::string_view local);

// The first child element, whatever its name; empty when none.
pugi::xml_node FirstElement(pugi::xml_node parent);

// The attribute `local` of namespace `ns` on `node`; empty when none.
pugi::xml_attribute Attribute(pugi::xml_node node, const char* ns, std::string_view local);

// The text content of `node` ("" for an empty node).
std::string TextOf(pugi::xml_node node);

// Parses `text` as a SOAP 1.2 envelope with a body; false with a readable
// `error` otherwise. `header` is empty when the envelope has none.
bool ParseDocument(std::string_view text, pugi::xml_document& doc, pugi::xml_node& header,
                   pugi::xml_node& body, std::string& error);

}  // namespace wmi::wsman::soap
