// Runs a fuzz target once over each file of the corpus folders it is given,
// so that the ordinary test run replays the corpus without libFuzzer.
#include <cstdint>
#include <cstdio>
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
    while (dirent *e = readdir(dir))
        if (e->d_name[0] != '.') count += replay_file(path + "/" + e->d_name);
    closedir(dir);
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
