// SPDX-License-Identifier: MIT
// The JSON layer: RapidJSON configured to behave as the library needs.
// Only the request parser and the results text use it.
//
// Reading is strict RFC 8259 with UTF-8 validation and runs without
// recursion, so a request nested a million levels deep cannot overflow the
// stack. Writing is compact, escapes only what JSON requires and fails on a
// string that is not valid UTF-8.
//
// RapidJSON does not check its allocations: an allocator that returns NULL
// makes it write through a null pointer. Ours throws std::bad_alloc instead,
// and every entry point of this layer catches it and reports failure, so no
// exception leaves the layer.
#ifndef DUP_JSON_H
#define DUP_JSON_H

#include <cstdlib>
#include <new>

#include <rapidjson/document.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "base.h"

struct dup_json_allocator {
    static const bool kNeedFree = true;
    void *Malloc(size_t size) {
        if (size == 0) return nullptr;
        void *p = dup_malloc(size);
        if (!p) throw std::bad_alloc();
        return p;
    }
    void *Realloc(void *orig, size_t, size_t new_size) {
        if (new_size == 0) {
            std::free(orig);
            return nullptr;
        }
        void *p = dup_realloc(orig, new_size);
        if (!p) throw std::bad_alloc();
        return p;
    }
    static void Free(void *p) { std::free(p); }
};

// Values live in a pool that is released at once with the document, so
// destroying a deeply nested document does not recurse either.
using dup_json_doc = rapidjson::GenericDocument<rapidjson::UTF8<>, rapidjson::MemoryPoolAllocator<dup_json_allocator>,
                                                dup_json_allocator>;
using dup_json_value = dup_json_doc::ValueType;

constexpr unsigned DUP_JSON_PARSE_FLAGS = rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag;

// Parses text[0..len) into doc. DUP_OK; DUP_FAILED when the text is not one
// complete valid JSON text, DUP_NOMEM when memory ran out.
inline dup_result dup_json_parse(dup_json_doc &doc, const char *text, size_t len) noexcept {
    try {
        doc.Parse<DUP_JSON_PARSE_FLAGS>(text, len);
        return doc.HasParseError() ? DUP_FAILED : DUP_OK;
    } catch (const std::bad_alloc &) {
        return DUP_NOMEM;
    }
}

using dup_json_buffer = rapidjson::GenericStringBuffer<rapidjson::UTF8<>, dup_json_allocator>;
using dup_json_writer = rapidjson::Writer<dup_json_buffer, rapidjson::UTF8<>, rapidjson::UTF8<>, dup_json_allocator,
                                          rapidjson::kWriteValidateEncodingFlag>;

#endif  // DUP_JSON_H
