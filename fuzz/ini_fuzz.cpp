// The tarvik.ini scans on arbitrary bytes: the first three are the bank code
// sought, the rest is the file. The look-ups on a real ./tarvik.ini, which
// read it through a buffer of their own, must find what the stream scans
// find.
#include "fuzz_check.h"
#include "link/link.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

std::string scratch_dir;

void remove_scratch() {
    unlink((scratch_dir + "/tarvik.ini").c_str());
    rmdir(scratch_dir.c_str());
}

// The look-ups of the file holding these bytes, run in a scratch directory.
void file_lookups(const std::string &file, const char *code, Lookup &port, char (&path)[kPortPath],
                  char (&layout)[kLayout]) {
    if (scratch_dir.empty()) {
        // In memory where the system offers it: a file is written per input.
        char shm[] = "/dev/shm/tarvik-ini-fuzz-XXXXXX", tmp[] = "/tmp/tarvik-ini-fuzz-XXXXXX";
        char *tmpl = mkdtemp(shm) != nullptr ? shm : tmp;
        FUZZ_CHECK(tmpl == shm || mkdtemp(tmp) != nullptr);
        scratch_dir = tmpl;
        std::atexit(remove_scratch);
    }
    FILE *f = std::fopen((scratch_dir + "/tarvik.ini").c_str(), "wb");
    FUZZ_CHECK(f != nullptr);
    std::fwrite(file.data(), 1, file.size(), f);
    std::fclose(f);
    int back = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    FUZZ_CHECK(back >= 0 && chdir(scratch_dir.c_str()) == 0);
    port = port_lookup(path);
    FUZZ_CHECK(layout_lookup(code, layout) == Lookup::found);
    FUZZ_CHECK(fchdir(back) == 0);
    close(back);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    char code[4] = {static_cast<char>(data[0]), static_cast<char>(data[1]),
                    static_cast<char>(data[2]), '\0'};
    std::string file(reinterpret_cast<const char *>(data + 3), size - 3);

    Lookup file_port;
    char file_path[kPortPath], file_layout[kLayout];
    file_lookups(file, code, file_port, file_path, file_layout);

    std::istringstream port_in(file);
    char path[kPortPath];
    bool found = ini_port(port_in, path);
    FUZZ_CHECK(file_port == (found ? Lookup::found : Lookup::none));
    FUZZ_CHECK(!found || std::strcmp(file_path, path) == 0);
    if (found) {
        // "/dev/" and a name of at most 93 characters with no separator in it.
        FUZZ_CHECK(std::strncmp(path, "/dev/", 5) == 0);
        FUZZ_CHECK(std::strlen(path) <= 5 + 93);
        FUZZ_CHECK(std::strcspn(path, "\r\n \t,;") == std::strlen(path));
    }

    std::istringstream layout_in(file);
    char layout[kLayout];
    ini_layout(layout_in, code, layout);
    FUZZ_CHECK(std::strlen(layout) <= 20);
    FUZZ_CHECK(std::strcmp(file_layout, layout) == 0);
    return 0;
}
