// Typed, named values in XML documents: the configuration document and preset
// files both live here.
//
// A value is addressed by a path (empty, or segments each ending in "/"), a
// type ("string", "int", "double", "bool", or "array" for a list) and a name,
// which the type element carries in its `name` attribute:
//
//     <cwrconfig version="0.1.0"><settings><int name="rate" value="48000"/>...
//
// Readers query the document with XPath and compare names exactly; writers
// walk the tree from the root, ignoring ASCII case, and create what is missing.
// A document reaches the disk only through xmlp_sync. All calls come from one
// thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <libxml/tree.h>
#include <libxml/xpath.h>

struct XmlDocDeleter {
    void operator()(xmlDoc *doc) const { xmlFreeDoc(doc); }
};
struct XmlXPathContextDeleter {
    void operator()(xmlXPathContext *context) const { xmlXPathFreeContext(context); }
};
using XmlDocPtr = std::unique_ptr<xmlDoc, XmlDocDeleter>;
using XmlXPathContextPtr = std::unique_ptr<xmlXPathContext, XmlXPathContextDeleter>;

//! The handle of one open property document. `xpath` is declared after `doc`
//! so that it is released first.
struct XmlpDoc {
    XmlDocPtr doc;            // the element tree
    XmlXPathContextPtr xpath; // made for `doc`; every read evaluates in it
    std::string file_name;    // where xmlp_sync writes
    std::string root_name;    // root element name asked for when opened
    int32_t legacy;           // 1: read from a file whose root had no `version`
};

using XmlpDocHandle = std::unique_ptr<XmlpDoc>;

//! A list read from or written to an "array" element. An entry without a
//! `value` attribute reads as std::nullopt and is written as value="".
using XmlpStringList = std::vector<std::optional<std::string>>;

//! Largest document file accepted by xmlp_get_doc; anything larger is refused
//! as unreadable, as are files that are not regular files.
constexpr std::size_t xmlp_max_file_bytes = std::size_t{1} << 20;

//! A new document holding only the root element `root_name` with its `version`
//! attribute; `legacy` 0. Never fails; nothing is written to disk.
XmlpDocHandle xmlp_new_doc(const char *file_name, const char *root_name, const char *version);

//! The parsed file, or null when it cannot be read, is larger than
//! xmlp_max_file_bytes, is not well-formed, carries a document type
//! declaration, or has a root element whose name differs from `root_name`
//! beyond ASCII case. Blank text between elements is dropped; no network, no
//! external entity and no entity substitution. A root without `version` makes
//! a legacy document; in every case the root's `version` is set to `version`.
XmlpDocHandle xmlp_get_doc(const char *file_name, const char *root_name, const char *version);

//! xmlp_get_doc on bytes already in memory; `file_name` is only remembered for
//! xmlp_sync.
XmlpDocHandle xmlp_get_doc_from_memory(const char *data, std::size_t size, const char *file_name,
                                       const char *root_name, const char *version);

//! Releases the handle with its document and XPath context (the same as
//! letting the handle go out of scope). libxml2's process-wide state stays.
void xmlp_free(XmlpDocHandle doc);

//! The text of property `name` of element type `type` under `path`, from the
//! first match in document order: the `value` attribute, or in a legacy
//! document the element's own text. std::nullopt when not found or without a
//! value. The name is bound as an XPath variable, so any text is safe; a path
//! that makes no valid query selects nothing.
std::optional<std::string> xmlp_get(const XmlpDoc &doc, const char *path, const char *type,
                                    const char *name);
std::optional<std::string> xmlp_get_string(const XmlpDoc &doc, const char *path, const char *name);
//! The found text, else a copy of `fallback` (std::nullopt for null).
std::optional<std::string> xmlp_get_string_default(const XmlpDoc &doc, const char *path,
                                                   const char *name, const char *fallback);

//! Typed readers: 1 with `*out` set when found, 0 with `*out` untouched
//! otherwise. Integers are read as atoi would (saturated to 32 bits), doubles
//! with "." whatever the locale (legacy documents: the user's locale first),
//! booleans are true only for "true" in any ASCII case. A value present but
//! not a number reads as 0 and counts as found.
int xmlp_get_int(const XmlpDoc &doc, const char *path, const char *name, int32_t *out);
int32_t xmlp_get_int_default(const XmlpDoc &doc, const char *path, const char *name,
                             int32_t fallback);
int xmlp_get_double(const XmlpDoc &doc, const char *path, const char *name, double *out);
double xmlp_get_double_default(const XmlpDoc &doc, const char *path, const char *name,
                               double fallback);
int xmlp_get_boolean(const XmlpDoc &doc, const char *path, const char *name, int32_t *out);
int32_t xmlp_get_boolean_default(const XmlpDoc &doc, const char *path, const char *name,
                                 int32_t fallback);

//! The `value` attributes of the `item_type` children of array `name`, in
//! document order (legacy documents too); empty when nothing is found.
XmlpStringList xmlp_get_array(const XmlpDoc &doc, const char *path, const char *item_type,
                              const char *name);

//! The property element, found or created: each path segment (with an optional
//! `[attribute::NAME="VALUE"]` predicate) is looked up among the current
//! element's children ignoring ASCII case; from the first one missing on,
//! every segment is appended. Null, and nothing changed, when a segment or the
//! type is not a valid XML name.
xmlNode *xmlp_set_common(XmlpDoc &doc, const char *path, const char *type, const char *name);

//! Finds or creates the element and sets its `value` (null writes value="").
//! Text XML cannot hold (bytes that are not UTF-8, control characters other
//! than tab and line ends) is written as U+FFFD, here and in names.
void xmlp_set(XmlpDoc &doc, const char *path, const char *type, const char *name,
              const char *value);
void xmlp_set_string(XmlpDoc &doc, const char *path, const char *name, const char *value);
void xmlp_set_int(XmlpDoc &doc, const char *path, const char *name, int32_t value);
//! Written with 17 significant digits and "." (0.1 is "0.10000000000000001").
void xmlp_set_double(XmlpDoc &doc, const char *path, const char *name, double value);
//! "TRUE" for any non-zero value, "FALSE" for 0.
void xmlp_set_boolean(XmlpDoc &doc, const char *path, const char *name, int32_t value);
//! Replaces the array's entries with one `item_type` child per list entry.
void xmlp_set_array(XmlpDoc &doc, const char *path, const char *item_type, const char *name,
                    const XmlpStringList &list);

//! The document as xmlSaveFormatFile with formatting on would write it, byte
//! for byte; std::nullopt if libxml2 cannot serialise it.
std::optional<std::string> xmlp_serialise(const XmlpDoc &doc);

//! Writes the document to its file through file_save (file_save.h), as WAV
//! exports and presets are saved: atomically where the file can be replaced
//! (a temporary file in the same folder, flushed and renamed; a failure leaves
//! the old file untouched and no temporary file), in place where it has
//! several names or its folder takes no new file. A symbolic link is followed
//! and the file it names is saved; an existing file keeps its permission bits,
//! and its owner and group where the user may set them. Returns the number of
//! bytes written, or -1. `error_number`, when given, receives 0 on success,
//! else the system error number of the failure, or -1 when it has none (the
//! document could not be serialised).
int xmlp_sync(const XmlpDoc &doc, int *error_number = nullptr);
