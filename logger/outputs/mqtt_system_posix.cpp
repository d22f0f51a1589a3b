// The MQTT output's system parts for Linux. The certificate authority of mqtts:// is read at
// start by OpenSSL (Debian's libssl-dev), the library libmosquitto reads it with when it
// connects.
#if defined(_WIN32)
#error "mqtt_system_posix.cpp is for POSIX builds; Windows builds take mqtt_system_win32.cpp"
#endif

#include "mqtt_system.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <fcntl.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/x509_vfy.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace logbook {

bool tls_built_in(std::string&)
{
    return true;
}

bool check_cafile(const std::string& path, const std::string& option, std::string& problem)
{
    struct stat status {};
    std::string error;
    // A path that is not there fails to open with the cause stat met.
    if (stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        error = "not a file";
    } else if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
        std::fgetc(file);
        error = std::ferror(file) != 0 ? std::strerror(errno) : "";
        std::fclose(file);
    } else {
        error = std::strerror(errno);
    }
    if (!error.empty()) {
        problem = "cannot read " + option + " " + path + ": " + error;
        return false;
    }
    X509_STORE* store = X509_STORE_new();
    const bool loaded = store != nullptr && X509_STORE_load_file(store, path.c_str()) == 1;
    X509_STORE_free(store);
    ERR_clear_error();
    if (!loaded) {
        problem =
            option + " " + path + " holds no certificate (a PEM file: -----BEGIN CERTIFICATE-----)";
    }
    return loaded;
}

// A name in Linux's abstract socket space, which the kernel frees when the process ends.
bool hold_name(const std::string& name, std::intptr_t& holder, bool& taken)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t size = std::min(name.size(), sizeof address.sun_path - 1);
    std::memcpy(address.sun_path + 1, name.data(), size); // sun_path[0] 0: abstract
    const int lock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    holder = lock;
    taken = lock >= 0 &&
            bind(lock, reinterpret_cast<const sockaddr*>(&address),
                 static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + size)) != 0 &&
            errno == EADDRINUSE;
    return !taken;
}

void release_name(std::intptr_t holder)
{
    if (holder >= 0) {
        close(static_cast<int>(holder));
    }
}

std::string machine_identity()
{
    std::ifstream file("/etc/machine-id");
    std::string id; // 32 hexadecimal digits
    std::getline(file, id);
    return id.size() <= 64 ? id : "";
}

void forget_variable(const char* name)
{
    unsetenv(name);
}

void keep_from_commands(int socket)
{
    fcntl(socket, F_SETFD, FD_CLOEXEC);
}

bool connection_settled(int socket, int ms, int& error)
{
    pollfd polled{socket, POLLOUT, 0};
    if (poll(&polled, 1, ms) <= 0) {
        return false;
    }
    socklen_t size = sizeof error;
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
        error = errno;
    }
    // A connection that hung up before it was made was refused.
    if (error == 0 && (polled.revents & (POLLHUP | POLLERR)) != 0) {
        error = ECONNREFUSED;
    }
    return true;
}

bool connection_refused(int error)
{
    return error == ECONNREFUSED;
}

std::string socket_error_text(int error)
{
    return std::strerror(error);
}

std::string lookup_error_text(int error)
{
    return gai_strerror(error);
}

} // namespace logbook
