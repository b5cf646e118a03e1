// Replays fuzz inputs through a harness (fuzz_core or fuzz_stream_load)
// without libFuzzer, so any compiler (g++ included) can run the corpus under
// its sanitizers:
//   replay FILE_OR_DIR...
// Prints the number of inputs run; a contract breach or sanitizer report
// aborts.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *, char ***);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

int run_file(const std::string &path) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f) return 0;
    std::vector<uint8_t> data;
    uint8_t buf[4096];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + got);
    std::fclose(f);
    LLVMFuzzerTestOneInput(data.data(), data.size());
    return 1;
}

int run_path(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return 0;
    if (!S_ISDIR(st.st_mode)) return run_file(path);
    int count = 0;
    if (DIR *d = opendir(path.c_str())) {
        while (dirent *e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") count += run_path(path + "/" + name);
        }
        closedir(d);
    }
    return count;
}

}  // namespace

int main(int argc, char **argv) {
    LLVMFuzzerInitialize(&argc, &argv);
    int count = 0;
    for (int i = 1; i < argc; ++i) count += run_path(argv[i]);
    std::fprintf(stderr, "replayed %d inputs\n", count);
    return 0;
}
