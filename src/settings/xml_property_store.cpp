#include "xml_property_store.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <glib.h>
#include <libxml/parser.h>
#include <libxml/xmlsave.h>
#include <libxml/xpathInternals.h>

#include "file_save.h"

namespace {

struct XmlFreeDeleter {
    void operator()(xmlChar *text) const { xmlFree(text); }
};
struct ParserCtxtDeleter {
    void operator()(xmlParserCtxt *ctxt) const { xmlFreeParserCtxt(ctxt); }
};
struct XPathObjectDeleter {
    void operator()(xmlXPathObject *object) const { xmlXPathFreeObject(object); }
};
struct GFreeDeleter {
    void operator()(void *p) const { g_free(p); }
};
struct GStrvDeleter {
    void operator()(gchar **strv) const { g_strfreev(strv); }
};

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    ~FileDescriptor()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

const xmlChar *xml(const char *text) { return reinterpret_cast<const xmlChar *>(text); }
const char *text_of(const xmlChar *text) { return reinterpret_cast<const char *>(text); }

//! `text` as XML 1.0 can hold it: bytes that are not UTF-8 and characters XML
//! forbids (control characters other than tab, line feed and carriage return,
//! U+FFFE, U+FFFF) become U+FFFD. Written raw, they would make the saved file
//! unreadable, and with it every setting in it.
std::string xml_safe_text(const char *text)
{
    if (text == nullptr)
        return std::string();
    std::unique_ptr<gchar, GFreeDeleter> valid(g_utf8_make_valid(text, -1));
    std::string safe;
    for (const gchar *p = valid.get(); *p != '\0'; p = g_utf8_next_char(p)) {
        const gunichar c = g_utf8_get_char(p);
        const bool allowed =
            c == '\t' || c == '\n' || c == '\r' || (c >= 0x20 && c != 0xFFFE && c != 0xFFFF);
        if (allowed)
            safe.append(p, static_cast<std::size_t>(g_utf8_next_char(p) - p));
        else
            safe.append("\xef\xbf\xbd"); // U+FFFD
    }
    return safe;
}

//! The whole file, or std::nullopt when it cannot be opened, is not a regular
//! file, or holds more than xmlp_max_file_bytes. Opening never blocks (a FIFO
//! is refused after the non-blocking open).
std::optional<std::string> read_small_file(const char *file_name)
{
    FileDescriptor fd(open(file_name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0)
        return std::nullopt;
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<unsigned long long>(st.st_size) > xmlp_max_file_bytes)
        return std::nullopt;
    // Reading goes on past the size fstat gave, so a file that grew since is
    // read whole, up to one byte over the limit, which refuses it.
    std::string data(static_cast<std::size_t>(st.st_size) + 1, '\0');
    std::size_t used = 0;
    for (;;) {
        if (used == data.size()) {
            if (data.size() > xmlp_max_file_bytes)
                break;
            data.resize(std::min(data.size() * 2, xmlp_max_file_bytes + 1));
        }
        const ssize_t n = read(fd.get(), data.data() + used, data.size() - used);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (n == 0)
            break;
        used += static_cast<std::size_t>(n);
    }
    if (used > xmlp_max_file_bytes)
        return std::nullopt;
    data.resize(used);
    return data;
}

// The program's documents never carry a document type declaration. One that
// does is where entity bombs and external entities live, so parsing stops at
// the declaration, before any of it is read.
void refuse_doctype(void *user, const xmlChar *, const xmlChar *, const xmlChar *)
{
    auto *ctxt = static_cast<xmlParserCtxt *>(user);
    *static_cast<bool *>(ctxt->_private) = true;
    xmlStopParser(ctxt);
}

void ignore_structured_error(void *, xmlError *) {}

//! Text and CDATA children of `first` and its siblings, joined; std::nullopt
//! when there are none. Entity references cannot occur: without a document
//! type declaration every entity is predefined and the parser inlines it.
std::optional<std::string> joined_text(const xmlNode *first)
{
    std::optional<std::string> text;
    for (const xmlNode *n = first; n != nullptr; n = n->next) {
        if ((n->type == XML_TEXT_NODE || n->type == XML_CDATA_SECTION_NODE) &&
            n->content != nullptr) {
            if (!text)
                text.emplace();
            text->append(text_of(n->content));
        }
    }
    return text;
}

//! The attribute `name` of element `node`, whatever its namespace.
const xmlAttr *find_attribute(const xmlNode *node, const char *name)
{
    for (const xmlAttr *a = node->properties; a != nullptr; a = a->next)
        if (xmlStrEqual(a->name, xml(name)))
            return a;
    return nullptr;
}

//! The attribute's value; an attribute without text has the empty value.
std::optional<std::string> attribute_value(const xmlNode *node, const char *name)
{
    const xmlAttr *a = find_attribute(node, name);
    if (a == nullptr)
        return std::nullopt;
    return joined_text(a->children).value_or(std::string());
}

//! Evaluates `query` with the variable $name bound to `name`; the selected
//! nodes, or none when the query selects nothing or is not valid XPath.
std::unique_ptr<xmlXPathObject, XPathObjectDeleter> evaluate(const XmlpDoc &doc,
                                                             const std::string &query,
                                                             const char *name)
{
    xmlXPathContext *context = doc.xpath.get();
    // The context owns the bound value and frees the one it replaces.
    // Names are looked up as the writers store them.
    xmlXPathRegisterVariable(context, xml("name"),
                             xmlXPathNewString(xml(xml_safe_text(name).c_str())));
    std::unique_ptr<xmlXPathObject, XPathObjectDeleter> result(
        xmlXPathEvalExpression(xml(query.c_str()), context));
    if (result && (result->type != XPATH_NODESET || result->nodesetval == nullptr))
        result.reset();
    return result;
}

std::string str(const char *text) { return text ? text : ""; }

int32_t saturate_int32(long long v)
{
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(v);
}

bool valid_element_name(const std::string &name)
{
    return !name.empty() && xmlValidateNCName(xml(name.c_str()), 0) == 0;
}

//! One step of the walk: an element name and an optional attribute test.
struct Segment {
    std::string element;
    std::optional<std::string> attribute;
    std::string attribute_value;
};

//! Parses `NAME` or `NAME[attribute::ATTR="VALUE"]...`; std::nullopt for
//! anything the walk cannot create as XML.
std::optional<Segment> parse_segment(const std::string &text)
{
    static constexpr char predicate[] = "[attribute::";
    Segment segment;
    const std::size_t at = text.find(predicate);
    segment.element = text.substr(0, at);
    if (!valid_element_name(segment.element))
        return std::nullopt;
    if (at == std::string::npos)
        return segment;
    const std::string rest = text.substr(at + sizeof predicate - 1);
    std::unique_ptr<gchar *, GStrvDeleter> pieces(g_strsplit(rest.c_str(), "\"", 3));
    if (pieces.get()[0] == nullptr || pieces.get()[1] == nullptr)
        return std::nullopt;
    std::string attribute = pieces.get()[0];
    if (attribute.empty())
        return std::nullopt;
    attribute.pop_back(); // the "=" before the quoted value
    if (!valid_element_name(attribute))
        return std::nullopt;
    segment.attribute = attribute;
    segment.attribute_value = xml_safe_text(pieces.get()[1]);
    return segment;
}

bool segment_matches(const xmlNode *node, const Segment &segment)
{
    if (node->type != XML_ELEMENT_NODE ||
        g_ascii_strcasecmp(text_of(node->name), segment.element.c_str()) != 0)
        return false;
    if (!segment.attribute)
        return true;
    const std::optional<std::string> value = attribute_value(node, segment.attribute->c_str());
    return value && g_ascii_strcasecmp(value->c_str(), segment.attribute_value.c_str()) == 0;
}

XmlpDocHandle make_handle(XmlDocPtr xml_doc, const char *file_name, const char *root_name,
                          int32_t legacy)
{
    XmlXPathContextPtr xpath(xmlXPathNewContext(xml_doc.get()));
    if (!xpath)
        g_error("out of memory making an XPath context");
    // A query that is not valid XPath selects nothing and prints nothing.
    xpath->error = ignore_structured_error;
    auto handle = std::make_unique<XmlpDoc>();
    handle->doc = std::move(xml_doc);
    handle->xpath = std::move(xpath);
    handle->file_name = str(file_name);
    handle->root_name = str(root_name);
    handle->legacy = legacy;
    return handle;
}

} // namespace

XmlpDocHandle xmlp_new_doc(const char *file_name, const char *root_name, const char *version)
{
    XmlDocPtr xml_doc(xmlNewDoc(xml("1.0")));
    if (!xml_doc)
        g_error("out of memory making an XML document");
    xmlNode *root = xmlNewDocNode(xml_doc.get(), nullptr, xml(root_name), nullptr);
    xmlDocSetRootElement(xml_doc.get(), root);
    xmlSetProp(root, xml("version"), xml(version));
    return make_handle(std::move(xml_doc), file_name, root_name, 0);
}

XmlpDocHandle xmlp_get_doc_from_memory(const char *data, std::size_t size, const char *file_name,
                                       const char *root_name, const char *version)
{
    if (size > xmlp_max_file_bytes)
        return nullptr;
    std::unique_ptr<xmlParserCtxt, ParserCtxtDeleter> ctxt(xmlNewParserCtxt());
    if (!ctxt)
        return nullptr;
    bool saw_doctype = false;
    ctxt->_private = &saw_doctype;
    ctxt->sax->internalSubset = refuse_doctype;
    ctxt->sax->serror = ignore_structured_error;
    // Blank text between elements is dropped, so a document read and saved
    // again comes out freshly indented. No network, no DTD loading and no
    // entity substitution: a preset may come from a stranger.
    const int options = XML_PARSE_NOBLANKS | XML_PARSE_NONET | XML_PARSE_NOERROR |
                        XML_PARSE_NOWARNING;
    XmlDocPtr xml_doc(xmlCtxtReadMemory(ctxt.get(), data, static_cast<int>(size), nullptr,
                                        nullptr, options));
    if (!xml_doc || saw_doctype || !ctxt->wellFormed)
        return nullptr;
    xmlNode *root = xmlDocGetRootElement(xml_doc.get());
    if (root == nullptr || g_ascii_strcasecmp(text_of(root->name), str(root_name).c_str()) != 0)
        return nullptr;
    const int32_t legacy = find_attribute(root, "version") == nullptr ? 1 : 0;
    xmlSetProp(root, xml("version"), xml(version));
    return make_handle(std::move(xml_doc), file_name, root_name, legacy);
}

XmlpDocHandle xmlp_get_doc(const char *file_name, const char *root_name, const char *version)
{
    if (file_name == nullptr)
        return nullptr;
    const std::optional<std::string> data = read_small_file(file_name);
    if (!data)
        return nullptr;
    return xmlp_get_doc_from_memory(data->data(), data->size(), file_name, root_name, version);
}

void xmlp_free(XmlpDocHandle doc) { doc.reset(); }

std::optional<std::string> xmlp_get(const XmlpDoc &doc, const char *path, const char *type,
                                    const char *name)
{
    const std::string query = "//" + str(path) + str(type) + "[attribute::name=$name]";
    const auto result = evaluate(doc, query, name);
    if (!result || result->nodesetval->nodeNr == 0)
        return std::nullopt;
    const xmlNode *node = result->nodesetval->nodeTab[0];
    if (node->type != XML_ELEMENT_NODE)
        return std::nullopt;
    if (doc.legacy)
        return joined_text(node->children);
    return attribute_value(node, "value");
}

std::optional<std::string> xmlp_get_string(const XmlpDoc &doc, const char *path, const char *name)
{
    return xmlp_get(doc, path, "string", name);
}

std::optional<std::string> xmlp_get_string_default(const XmlpDoc &doc, const char *path,
                                                   const char *name, const char *fallback)
{
    std::optional<std::string> text = xmlp_get_string(doc, path, name);
    if (!text && fallback != nullptr)
        text = fallback;
    return text;
}

int xmlp_get_int(const XmlpDoc &doc, const char *path, const char *name, int32_t *out)
{
    const std::optional<std::string> text = xmlp_get(doc, path, "int", name);
    if (!text)
        return 0;
    // atoi's reading (white space, sign, digits up to the first other
    // character), without its undefined behaviour on overflow.
    *out = saturate_int32(std::strtoll(text->c_str(), nullptr, 10));
    return 1;
}

int32_t xmlp_get_int_default(const XmlpDoc &doc, const char *path, const char *name,
                             int32_t fallback)
{
    int32_t value = fallback;
    xmlp_get_int(doc, path, name, &value);
    return value;
}

int xmlp_get_double(const XmlpDoc &doc, const char *path, const char *name, double *out)
{
    const std::optional<std::string> text = xmlp_get(doc, path, "double", name);
    if (!text)
        return 0;
    // Earlier versions wrote doubles in the user's locale; g_strtod tries that
    // locale first and falls back to "." when it gets further.
    *out = doc.legacy ? g_strtod(text->c_str(), nullptr) : g_ascii_strtod(text->c_str(), nullptr);
    return 1;
}

double xmlp_get_double_default(const XmlpDoc &doc, const char *path, const char *name,
                               double fallback)
{
    double value = fallback;
    xmlp_get_double(doc, path, name, &value);
    return value;
}

int xmlp_get_boolean(const XmlpDoc &doc, const char *path, const char *name, int32_t *out)
{
    const std::optional<std::string> text = xmlp_get(doc, path, "bool", name);
    if (!text)
        return 0;
    *out = g_ascii_strcasecmp(text->c_str(), "true") == 0 ? 1 : 0;
    return 1;
}

int32_t xmlp_get_boolean_default(const XmlpDoc &doc, const char *path, const char *name,
                                 int32_t fallback)
{
    int32_t value = fallback;
    xmlp_get_boolean(doc, path, name, &value);
    return value;
}

XmlpStringList xmlp_get_array(const XmlpDoc &doc, const char *path, const char *item_type,
                              const char *name)
{
    XmlpStringList list;
    const std::string query = "//" + str(path) + "array[attribute::name=$name]/" + str(item_type);
    const auto result = evaluate(doc, query, name);
    if (!result)
        return list;
    for (int i = 0; i < result->nodesetval->nodeNr; ++i) {
        const xmlNode *node = result->nodesetval->nodeTab[i];
        if (node->type == XML_ELEMENT_NODE)
            list.push_back(attribute_value(node, "value"));
    }
    return list;
}

xmlNode *xmlp_set_common(XmlpDoc &doc, const char *path, const char *type, const char *name)
{
    // The path's segments carry their own predicates; the property element
    // itself is matched on its name attribute directly, so a name holding a
    // quote or a "/" is written as it is.
    const std::string joined = str(path) + str(type);
    std::unique_ptr<gchar *, GStrvDeleter> pieces(g_strsplit(joined.c_str(), "/", -1));
    std::vector<Segment> segments;
    for (gchar **piece = pieces.get(); *piece != nullptr; ++piece) {
        std::optional<Segment> segment = parse_segment(*piece);
        if (!segment)
            return nullptr;
        segments.push_back(std::move(*segment));
    }
    if (segments.empty() || segments.back().attribute)
        return nullptr;
    segments.back().attribute = "name";
    segments.back().attribute_value = xml_safe_text(name);

    xmlNode *current = xmlDocGetRootElement(doc.doc.get());
    if (current == nullptr)
        return nullptr;
    bool searching = true;
    for (const Segment &segment : segments) {
        xmlNode *found = nullptr;
        if (searching) {
            for (xmlNode *child = current->children; child != nullptr; child = child->next) {
                if (segment_matches(child, segment)) {
                    found = child;
                    break;
                }
            }
        }
        if (found == nullptr) {
            // Once one segment is missing, everything below it is new.
            searching = false;
            found = xmlNewChild(current, nullptr, xml(segment.element.c_str()), nullptr);
            if (segment.attribute)
                xmlSetProp(found, xml(segment.attribute->c_str()),
                           xml(segment.attribute_value.c_str()));
        }
        current = found;
    }
    return current;
}

void xmlp_set(XmlpDoc &doc, const char *path, const char *type, const char *name,
              const char *value)
{
    xmlNode *node = xmlp_set_common(doc, path, type, name);
    if (node != nullptr)
        xmlSetProp(node, xml("value"), xml(xml_safe_text(value).c_str()));
}

void xmlp_set_string(XmlpDoc &doc, const char *path, const char *name, const char *value)
{
    xmlp_set(doc, path, "string", name, value);
}

void xmlp_set_int(XmlpDoc &doc, const char *path, const char *name, int32_t value)
{
    char text[G_ASCII_DTOSTR_BUF_SIZE];
    g_snprintf(text, sizeof text, "%i", static_cast<int>(value));
    xmlp_set(doc, path, "int", name, text);
}

void xmlp_set_double(XmlpDoc &doc, const char *path, const char *name, double value)
{
    char text[G_ASCII_DTOSTR_BUF_SIZE];
    g_ascii_dtostr(text, sizeof text, value);
    xmlp_set(doc, path, "double", name, text);
}

void xmlp_set_boolean(XmlpDoc &doc, const char *path, const char *name, int32_t value)
{
    xmlp_set(doc, path, "bool", name, value ? "TRUE" : "FALSE");
}

void xmlp_set_array(XmlpDoc &doc, const char *path, const char *item_type, const char *name,
                    const XmlpStringList &list)
{
    if (!valid_element_name(str(item_type)))
        return;
    xmlNode *array = xmlp_set_common(doc, path, "array", name);
    if (array == nullptr)
        return;
    while (xmlNode *child = array->children) {
        xmlUnlinkNode(child);
        xmlFreeNode(child);
    }
    for (const std::optional<std::string> &entry : list) {
        xmlNode *item = xmlNewChild(array, nullptr, xml(item_type), nullptr);
        xmlSetProp(item, xml("value"), xml(entry ? xml_safe_text(entry->c_str()).c_str() : ""));
    }
}

std::optional<std::string> xmlp_serialise(const XmlpDoc &doc)
{
    // Same save context, encoding and options as xmlSaveFormatFile, so the
    // bytes are the ones it would write.
    xmlChar *memory = nullptr;
    int size = 0;
    xmlDocDumpFormatMemoryEnc(doc.doc.get(), &memory, &size, nullptr, 1);
    std::unique_ptr<xmlChar, XmlFreeDeleter> owner(memory);
    if (memory == nullptr || size < 0)
        return std::nullopt;
    return std::string(text_of(memory), static_cast<std::size_t>(size));
}

int xmlp_sync(const XmlpDoc &doc, int *error_number)
{
    int error = -1;
    int result = -1;
    const std::optional<std::string> bytes = xmlp_serialise(doc);
    if (doc.file_name.empty())
        error = ENOENT;
    else if (bytes && bytes->size() <= static_cast<std::size_t>(INT_MAX))
        error = file_save_bytes(doc.file_name.c_str(), *bytes);
    if (error == 0)
        result = static_cast<int>(bytes->size());
    if (error_number != nullptr)
        *error_number = error;
    return result;
}
