// Test-only helper for bench/memory.js: glibc's malloc statistics, which
// Node.js does not expose. Built by bench/Makefile as
// build-native/malloc-stats.node (Node-API, so one build serves every Node.js).
//   mallinfo()  -> { arena, hblkhd, uordblks, fordblks, keepcost } in bytes,
//                  summed over every malloc arena (main and threads')
//   trim()      -> malloc_trim(0): true when memory was given back
//   info()      -> malloc_info(0) XML, one <heap> element per arena
#define _GNU_SOURCE
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>

#include <node_api.h>

static void setNumber(napi_env env, napi_value obj, const char* key, size_t value) {
    napi_value v;
    napi_create_double(env, (double)value, &v);
    napi_set_named_property(env, obj, key, v);
}

static napi_value Mallinfo(napi_env env, napi_callback_info info) {
    (void)info;
    struct mallinfo2 m = mallinfo2();
    napi_value obj;
    napi_create_object(env, &obj);
    setNumber(env, obj, "arena", m.arena);        // bytes obtained with brk/arena heaps
    setNumber(env, obj, "hblkhd", m.hblkhd);      // bytes in mmapped chunks
    setNumber(env, obj, "uordblks", m.uordblks);  // bytes in use
    setNumber(env, obj, "fordblks", m.fordblks);  // free bytes kept in the arenas
    setNumber(env, obj, "keepcost", m.keepcost);  // releasable top
    return obj;
}

static napi_value Trim(napi_env env, napi_callback_info info) {
    (void)info;
    napi_value v;
    napi_get_boolean(env, malloc_trim(0) != 0, &v);
    return v;
}

static napi_value Info(napi_env env, napi_callback_info info) {
    (void)info;
    char* buf = NULL;
    size_t len = 0;
    FILE* f = open_memstream(&buf, &len);
    napi_value v;
    if (!f) {
        napi_get_undefined(env, &v);
        return v;
    }
    malloc_info(0, f);
    fclose(f);
    napi_create_string_utf8(env, buf, len, &v);
    free(buf);
    return v;
}

static napi_value Init(napi_env env, napi_value exports) {
    napi_property_descriptor props[] = {
        {"mallinfo", NULL, Mallinfo, NULL, NULL, NULL, napi_default, NULL},
        {"trim", NULL, Trim, NULL, NULL, NULL, napi_default, NULL},
        {"info", NULL, Info, NULL, NULL, NULL, napi_default, NULL},
    };
    napi_define_properties(env, exports, sizeof props / sizeof props[0], props);
    return exports;
}

NAPI_MODULE(NODE_GYP_MODULE_NAME, Init)
