// A stand-in for PROGRAM when the rows test a build for another machine
// (tools/cross-check): it becomes that build's program under the emulator, so a
// row that runs it, through a shell or another program, runs the foreign one,
// under the name it was given. IO_CARD_EMULATOR holds the emulator and its
// arguments, split at spaces; IO_CARD_PROGRAMS the folder of the cross build.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char* argv[]) {
    const char* emulator = std::getenv("IO_CARD_EMULATOR");
    const char* programs = std::getenv("IO_CARD_PROGRAMS");
    if (emulator == nullptr || programs == nullptr) {
        std::fprintf(stderr, "%s: no IO_CARD_EMULATOR or IO_CARD_PROGRAMS\n", PROGRAM);
        return 127;
    }
    std::vector<std::string> words;
    for (const char* at = emulator; *at != '\0';) {
        const std::size_t length = std::strcspn(at, " ");
        if (length > 0) words.emplace_back(at, length);
        at += length + (at[length] == ' ' ? 1 : 0);
    }
    words.insert(words.end(), {"-0", argc > 0 ? argv[0] : "", std::string(programs) + "/" PROGRAM});
    std::vector<char*> args;
    for (auto& word : words) args.push_back(word.data());
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    execvp(args[0], args.data());
    std::fprintf(stderr, "%s: cannot run %s: %s\n", PROGRAM, args[0], std::strerror(errno));
    return 127;
}
