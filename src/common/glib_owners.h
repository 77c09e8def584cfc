// Owners of GLib and json-glib resources, released on scope exit.
#pragma once

#include <glib-object.h>
#include <json-glib/json-glib.h>

#include <memory>

struct GObjectUnref {
    void operator()(gpointer p) const { g_object_unref(p); }
};
template <typename T> using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct JsonNodeUnref {
    void operator()(JsonNode *n) const { json_node_unref(n); }
};
using JsonNodePtr = std::unique_ptr<JsonNode, JsonNodeUnref>;

struct GFreeDeleter {
    void operator()(void *p) const { g_free(p); }
};
using GCharPtr = std::unique_ptr<gchar, GFreeDeleter>;
