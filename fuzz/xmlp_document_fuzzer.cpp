// Opens arbitrary bytes as a property document and reads every kind of
// property from it, then writes into it and checks that what is saved opens
// again. Input: the document, optionally followed by a NUL byte and a
// property name (quotes and all) used in the queries and writes.
#include <clocale>
#include <cstdint>
#include <cstring>
#include <string>

#include "xml_property_store.h"

namespace {

constexpr const char *roots[] = {"cwrconfig", "cwrp", "cwrinstr"};
constexpr const char *paths[] = {"", "settings/", "paths/", "behaviour/", "driver/", "a/b/"};

void read_everything(const XmlpDoc &doc, const char *name)
{
    for (const char *path : paths) {
        int32_t i = 0;
        double d = 0.0;
        xmlp_get(doc, path, "string", name);
        xmlp_get_string_default(doc, path, name, "fallback");
        xmlp_get_int(doc, path, name, &i);
        xmlp_get_int_default(doc, path, name, 1);
        xmlp_get_double(doc, path, name, &d);
        xmlp_get_double_default(doc, path, name, 1.0);
        xmlp_get_boolean(doc, path, name, &i);
        xmlp_get_boolean_default(doc, path, name, 1);
        xmlp_get_array(doc, path, "string", name);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Legacy doubles are parsed in the user's locale first: use one with a
    // decimal comma when the machine has it.
    std::setlocale(LC_ALL, "de_DE.UTF-8");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *bytes = reinterpret_cast<const char *>(data);
    const void *nul = std::memchr(data, 0, size);
    const size_t doc_size = nul ? static_cast<size_t>(static_cast<const uint8_t *>(nul) - data)
                                : size;
    std::string name = nul ? std::string(bytes + doc_size + 1, size - doc_size - 1) : "rate";
    name = name.substr(0, name.find('\0'));

    for (const char *root : roots) {
        XmlpDocHandle doc = xmlp_get_doc_from_memory(bytes, doc_size, "/nonexistent/fuzz", root,
                                                     "0.1.0");
        if (!doc)
            continue;
        for (const char *known : {"rate", "auto_ext", "type", "height", "tension", "current"})
            read_everything(*doc, known);
        read_everything(*doc, name.c_str());

        xmlp_set_int(*doc, "settings/", "rate", -7);
        xmlp_set_double(*doc, "", "tension", 0.1);
        xmlp_set_boolean(*doc, "behaviour/", "auto_ext", 1);
        xmlp_set_array(*doc, "paths/", "string", "recent", {std::string("a"), std::nullopt});
        xmlp_set_string(*doc, "paths/", name.c_str(), name.c_str());
        xmlp_set_array(*doc, "", "string", name.c_str(), {name});
        read_everything(*doc, name.c_str());

        // What the store writes, it must be able to read again.
        const std::optional<std::string> saved = xmlp_serialise(*doc);
        if (saved && saved->size() <= xmlp_max_file_bytes) {
            XmlpDocHandle again = xmlp_get_doc_from_memory(saved->data(), saved->size(), "x", root,
                                                           "0.1.0");
            if (!again)
                __builtin_trap();
            if (!doc->legacy && xmlp_get_int_default(*again, "settings/", "rate", 0) != -7 &&
                xmlp_get_int_default(*doc, "settings/", "rate", 0) == -7)
                __builtin_trap();
        }
        break;
    }
    return 0;
}
