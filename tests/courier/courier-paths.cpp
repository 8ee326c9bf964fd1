// Preloaded into courier-harness.sh's daemons: Courier's compiled-in auth paths go to the harness's.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

namespace {

const char* const kCompiledIn[] = {"/run/courier/authdaemon/", "/etc/courier/authdaemonrc",
                                   "/etc/courier/userdb"};

// The harness's file for a compiled-in path, else the path; two slots, for the two paths of rename().
const char* moved(const char* path, int slot = 0) {
    thread_local std::string buffers[2];
    const char* dir = std::getenv("BRINDLE_COURIER_AUTH_DIR");
    if (path == nullptr || dir == nullptr)
        return path;
    for (const char* prefix : kCompiledIn) {
        if (std::strncmp(path, prefix, std::strlen(prefix)) == 0) {
            buffers[slot] = std::string(dir) + std::strrchr(path, '/');
            return buffers[slot].c_str();
        }
    }
    return path;
}

template <typename F> F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

int withAddress(const char* call, int fd, const sockaddr* address, socklen_t length) {
    const auto real = next<int (*)(int, const sockaddr*, socklen_t)>(call);
    if (address == nullptr || address->sa_family != AF_UNIX || length > sizeof(sockaddr_un))
        return real(fd, address, length);
    sockaddr_un local{};
    std::memcpy(&local, address, length);
    const char* path = moved(local.sun_path);
    if (path == local.sun_path || std::strlen(path) >= sizeof local.sun_path)
        return real(fd, address, length);
    std::strcpy(local.sun_path, path);
    return real(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
}

} // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? mode_t(va_arg(args, int)) : 0;
    va_end(args);
    return next<int (*)(const char*, int, ...)>("open")(moved(path), flags, mode);
}
FILE* fopen(const char* path, const char* mode) {
    return next<FILE* (*)(const char*, const char*)>("fopen")(moved(path), mode);
}
int stat(const char* path, struct stat* buffer) {
    return next<int (*)(const char*, struct stat*)>("stat")(moved(path), buffer);
}
int unlink(const char* path) {
    return next<int (*)(const char*)>("unlink")(moved(path));
}
int chmod(const char* path, mode_t mode) {
    return next<int (*)(const char*, mode_t)>("chmod")(moved(path), mode);
}
int rename(const char* from, const char* to) {
    return next<int (*)(const char*, const char*)>("rename")(moved(from, 0), moved(to, 1));
}
int bind(int fd, const sockaddr* address, socklen_t length) {
    return withAddress("bind", fd, address, length);
}
int connect(int fd, const sockaddr* address, socklen_t length) {
    return withAddress("connect", fd, address, length);
}

} // extern "C"
