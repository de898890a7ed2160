// Puts a thing of one kind at a path, for the interleaving sweep: the shell
// can make most kinds itself, but not a socket.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

int main(int argc, char** argv) {
    if (argc != 3 || std::string_view(argv[1]) != "socket") {
        (void)std::fputs("usage: place_at_name socket PATH\n", stderr);
        return 64;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(argv[2]) >= sizeof address.sun_path) {
        (void)std::fprintf(stderr, "place_at_name: %s: path too long for a socket\n", argv[2]);
        return 64;
    }
    std::strcpy(address.sun_path, argv[2]);
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    if (listener < 0 || bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        (void)std::fprintf(stderr, "place_at_name: %s: cannot bind: %s\n", argv[2], std::strerror(errno));
        return 1;
    }
    close(listener);  // the socket file stays, with nobody behind it
    return 0;
}
