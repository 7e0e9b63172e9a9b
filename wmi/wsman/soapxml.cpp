#include "wmi/wsman/soapxml.h"

#include <cstring>

#include "wmi/wsman/envelope.h"

namespace wmi::wsman::soap {

void AppendEscaped(std::string& out, std::string_view text) {
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            case '\r':
                out += "&#13;";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t') {
                    // Not allowed in XML 1.0 even as a reference; dropped.
                    break;
                }
                out += c;
        }
    }
}

void AppendEnvelopeOpen(std::string& out) {
    const struct {
        const char* prefix;
        const char* ns;
    } kPrefixes[] = {
        {"s", kNsSoap},    {"a", kNsAddressing},  {"w", kNsWsman},
        {"p", kNsMsWsman}, {"n", kNsEnumeration}, {"e", kNsEventing},
    };
    out += "<s:Envelope";
    for (const auto& p : kPrefixes) {
        out += " xmlns:";
        out += p.prefix;
        out += "=\"";
        out += p.ns;
        out += '"';
    }
    out += '>';
}

std::string_view LocalName(const char* qualified) {
    const char* colon = std::strchr(qualified, ':');
    return colon == nullptr ? std::string_view(qualified) : std::string_view(colon + 1);
}

// The namespace URI bound to the prefix of `qualified` where `scope` stands;
// "" when unbound.
const char* NamespaceOf(pugi::xml_node scope, const char* qualified) {
    const char* colon = std::strchr(qualified, ':');
    char attribute[80] = "xmlns";
    if (colon != nullptr) {
        size_t length = static_cast<size_t>(colon - qualified);
        if (length + 7 > sizeof attribute) return "";
        attribute[5] = ':';
        std::memcpy(attribute + 6, qualified, length);
        attribute[6 + length] = '\0';
    }
    for (pugi::xml_node n = scope; n; n = n.parent()) {
        if (n.type() != pugi::node_element) break;
        pugi::xml_attribute a = n.attribute(attribute);
        if (a) return a.value();
    }
    return "";
}

bool Is(pugi::xml_node node, const char* ns, std::string_view local) {
    return node.type() == pugi::node_element && LocalName(node.name()) == local &&
           std::strcmp(NamespaceOf(node, node.name()), ns) == 0;
}

pugi::xml_node Child(pugi::xml_node parent, const char* ns, std::string_view local) {
    for (pugi::xml_node c = parent.first_child(); c; c = c.next_sibling()) {
        if (Is(c, ns, local)) return c;
    }
    return {};
}

pugi::xml_node FirstElement(pugi::xml_node parent) {
    for (pugi::xml_node c = parent.first_child(); c; c = c.next_sibling()) {
        if (c.type() == pugi::node_element) return c;
    }
    return {};
}

// The attribute `local` of namespace `ns` on `node`.
pugi::xml_attribute Attribute(pugi::xml_node node, const char* ns, std::string_view local) {
    for (pugi::xml_attribute a = node.first_attribute(); a; a = a.next_attribute()) {
        if (LocalName(a.name()) == local && std::strchr(a.name(), ':') != nullptr &&
            std::strcmp(NamespaceOf(node, a.name()), ns) == 0) {
            return a;
        }
    }
    return {};
}

std::string TextOf(pugi::xml_node node) { return node.text().get(); }

bool ParseDocument(std::string_view text, pugi::xml_document& doc, pugi::xml_node& header,
                   pugi::xml_node& body, std::string& error) {
    pugi::xml_parse_result parsed =
        doc.load_buffer(text.data(), text.size(),
                        pugi::parse_default | pugi::parse_ws_pcdata_single, pugi::encoding_utf8);
    if (!parsed) {
        error = std::string("malformed XML: ") + parsed.description() + " at offset " +
                std::to_string(parsed.offset);
        return false;
    }
    pugi::xml_node envelope = doc.document_element();
    if (!Is(envelope, kNsSoap, "Envelope")) {
        error = "not a SOAP 1.2 envelope";
        return false;
    }
    header = Child(envelope, kNsSoap, "Header");
    body = Child(envelope, kNsSoap, "Body");
    if (!body) {
        error = "envelope without a body";
        return false;
    }
    return true;
}

}  // namespace wmi::wsman::soap
