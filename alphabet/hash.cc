#include "alphabet/hash.h"

#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>

namespace alphabet {
namespace {

// Fills `out` from the kernel's random source.  It does not wait for the
// source to be ready: early in boot a blocking read could hang whatever
// imports the module, for a seed that only has to be unknown to callers.
// False unless every byte arrived.
bool ReadRandomBytes(void* out, size_t size) {
  char* p = static_cast<char*>(out);
  while (size > 0) {
    const ssize_t got = getrandom(p, size, GRND_NONBLOCK);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

HashSeed hash_internal::DrawSeed() {
  HashSeed seed;
  if (ReadRandomBytes(&seed, sizeof seed)) return seed;
  // Only where the kernel gives no random bytes at all (a sandbox that
  // forbids the call, a pool not yet ready): the time, the process id and
  // where the loader placed this code still vary from run to run, which a
  // fixed seed does not.
  const uint64_t now =
      static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count() ^
                            std::chrono::steady_clock::now().time_since_epoch().count());
  const uint64_t place = reinterpret_cast<uintptr_t>(&ReadRandomBytes);
  return HashSeed::FromNumber(now ^ place ^ (static_cast<uint64_t>(getpid()) << 40));
}

const HashSeed& ProcessHashSeed() {
  static const HashSeed seed = hash_internal::DrawSeed();
  return seed;
}

}  // namespace alphabet
