/* Thread-specific data keys for everything in our link-map namespace.
 *
 * Loaded with dlmopen, AOCL-BLAS brings a second libc whose table of pthread
 * keys starts empty, while the key values themselves live in the thread
 * descriptor both libc copies share. libgomp creates a key there and sets it
 * on every thread that starts a parallel region, so it would land in the slot
 * of whichever key the program created with the same number and overwrite
 * that value (and the program's destructor for it would later run on
 * libgomp's data). These four key functions forward to the libc of the base
 * namespace, so the process has one key table again.
 *
 * Built alone, this is the shim the program's loader opens first in the new
 * namespace: it then heads the namespace's global scope, and libgomp and
 * everything else loaded there bind these definitions. The stand-in library
 * also carries them, so that it is safe when loaded on its own. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stddef.h>

#define KV_EXPORT __attribute__((visibility("default")))

typedef int (*kv_key_create_fn)(pthread_key_t*, void (*)(void*));
typedef int (*kv_key_delete_fn)(pthread_key_t);
typedef void* (*kv_getspecific_fn)(pthread_key_t);
typedef int (*kv_setspecific_fn)(pthread_key_t, const void*);

static kv_key_create_fn kv_key_create;
static kv_key_delete_fn kv_key_delete;
static kv_getspecific_fn kv_getspecific;
static kv_setspecific_fn kv_setspecific;
static pthread_once_t kv_keys_once = PTHREAD_ONCE_INIT;

static void* kv_base_or_next(void* base, const char* name)
{
    void* address = base != NULL ? dlsym(base, name) : NULL;
    /* Loaded in the base namespace, or its libc not found: the next
     * definition is the right one. */
    return address != NULL ? address : dlsym(RTLD_NEXT, name);
}

static void kv_resolve_keys(void)
{
    void* base = dlmopen(LM_ID_BASE, "libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
    kv_key_create = (kv_key_create_fn)kv_base_or_next(base, "pthread_key_create");
    kv_key_delete = (kv_key_delete_fn)kv_base_or_next(base, "pthread_key_delete");
    kv_getspecific = (kv_getspecific_fn)kv_base_or_next(base, "pthread_getspecific");
    kv_setspecific = (kv_setspecific_fn)kv_base_or_next(base, "pthread_setspecific");
}

KV_EXPORT int pthread_key_create(pthread_key_t* key, void (*destructor)(void*))
{
    pthread_once(&kv_keys_once, kv_resolve_keys);
    return kv_key_create(key, destructor);
}

KV_EXPORT int pthread_key_delete(pthread_key_t key)
{
    pthread_once(&kv_keys_once, kv_resolve_keys);
    return kv_key_delete(key);
}

KV_EXPORT void* pthread_getspecific(pthread_key_t key)
{
    pthread_once(&kv_keys_once, kv_resolve_keys);
    return kv_getspecific(key);
}

KV_EXPORT int pthread_setspecific(pthread_key_t key, const void* value)
{
    pthread_once(&kv_keys_once, kv_resolve_keys);
    return kv_setspecific(key, value);
}
