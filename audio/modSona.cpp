#include "modSona.h"

#include <dlfcn.h>

#include <type_traits>

namespace modSona {

namespace {

std::string describe(const std::string &library, const std::string &entry,
                     const std::string &reason)
{
    if (entry.empty())
        return "cannot load the audio library " + library + ": " + reason;
    return "cannot find " + entry + " in the audio library " + library + ": " + reason;
}

// Loaded on first use and kept for the life of the process: the program
// never unloads its audio library.  Only the UI thread calls in.
void *library;

std::string lastLoaderError(const char *fallback)
{
    const char *reason = dlerror();
    return reason ? reason : fallback;
}

void *resolve(const char *entry)
{
    if (!library) {
        // The bare name lets the loader search as usual: LD_LIBRARY_PATH,
        // then the program's RUNPATH, then the system.
        dlerror();
        library = dlopen(LibraryFile, RTLD_NOW | RTLD_LOCAL);
        if (!library)
            throw LoadError(LibraryFile, "", lastLoaderError("unknown loader error"));
    }
    dlerror();
    void *address = dlsym(library, entry);
    if (!address)
        throw LoadError(LibraryFile, entry, lastLoaderError("the entry point is null"));
    return address;
}

} // namespace

LoadError::LoadError(std::string library, std::string entry, std::string reason)
    : std::runtime_error(describe(library, entry, reason)), library_(std::move(library)),
      entry_(std::move(entry)), reason_(std::move(reason))
{
}

// Each entry's type is the one sona.h declares, or the build stops here.
#define MODSONA_SAME_AS_HEADER(name, result, params, args)                                     \
    static_assert(std::is_same_v<result params, decltype(::name)>,                             \
                  #name " differs from its declaration in sona.h");
MODSONA_ENTRIES(MODSONA_SAME_AS_HEADER)
#undef MODSONA_SAME_AS_HEADER

#define MODSONA_DEFINE(name, result, params, args)                                             \
    result name params                                                                         \
    {                                                                                          \
        using Entry = result(*) params;                                                        \
        static Entry address;                                                                  \
        if (!address)                                                                          \
            address = reinterpret_cast<Entry>(resolve(#name));                                 \
        return address args;                                                                   \
    }
MODSONA_ENTRIES(MODSONA_DEFINE)
#undef MODSONA_DEFINE

} // namespace modSona
