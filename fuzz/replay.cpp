// Runs a fuzz target once over each file of the corpus folders it is given,
// so that the ordinary test run replays the corpus without libFuzzer.
// 64-bit directory offsets: a 32-bit readdir under qemu-i386 fails on ext4's
// without them.
#define _FILE_OFFSET_BITS 64
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

int replay_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    return 1;
}

int replay(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return -1;
    }
    if (!S_ISDIR(st.st_mode)) return replay_file(path);
    int count = 0;
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr) {
        std::fprintf(stderr, "cannot read %s: %s\n", path.c_str(), std::strerror(errno));
        return -1;
    }
    // readdir returns null at the end and on a failure; only a failure sets errno.
    for (errno = 0; dirent *e = readdir(dir); errno = 0)
        if (e->d_name[0] != '.') count += replay_file(path + "/" + e->d_name);
    int err = errno;
    closedir(dir);
    if (err != 0) {
        std::fprintf(stderr, "cannot read %s: %s\n", path.c_str(), std::strerror(err));
        return -1;
    }
    return count;
}

} // namespace

int main(int argc, char **argv) {
    int total = 0;
    for (int i = 1; i < argc; ++i) {
        int n = replay(argv[i]);
        if (n < 0) return 1;
        total += n;
    }
    std::printf("%d inputs replayed\n", total);
    return total > 0 ? 0 : 1;
}
