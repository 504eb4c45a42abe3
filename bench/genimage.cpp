// korvane-genimage: makes a synthetic tree of folders, files and symbolic
// links, as a YAFFS2 image (laid out as a writer does) and/or as a folder on
// disk, for benchmarks and the demo.
#include "support/yaffs2_builder.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

using namespace korvane;
using namespace korvane::test;

namespace {

// emptyFiles empty files in folders of perFolder below the root, or folders
// empty folders, perFolder in each, breadth first. Appended to out a
// thousand objects at a time.
int writeSparseTree(const std::string& out, size_t emptyFiles, size_t folders, size_t perFolder) {
    std::FILE* f = std::fopen(out.c_str(), "wb");
    if (!f) {
        std::perror(out.c_str());
        return 1;
    }
    Yaffs2Builder b;
    b.root(040755, 1700000000);
    auto flush = [&](bool last) {
        if (b.bytes().size() >= (64u << 20) || last) {
            std::fwrite(b.bytes().data(), 1, b.bytes().size(), f);
            b.bytes().clear();
        }
    };
    uint32_t next = 258;
    char name[32];
    if (emptyFiles > 0) {
        uint32_t dir = 1;
        for (size_t i = 0; i < emptyFiles; ++i) {
            if (i % perFolder == 0) {
                std::snprintf(name, sizeof name, "d%07zu", i / perFolder);
                b.dir(next, 1, name);
                dir = next++;
            }
            std::snprintf(name, sizeof name, "f%07zu", i);
            b.file(next++, dir, name, {});
            flush(false);
        }
    } else {
        for (size_t i = 0; i < folders; ++i) {
            const uint32_t parent =
                i < perFolder ? 1 : 258 + static_cast<uint32_t>(i / perFolder - 1);
            std::snprintf(name, sizeof name, "d%07zu", i);
            b.dir(next++, parent, name);
            flush(false);
        }
    }
    flush(true);
    const bool ok = std::fclose(f) == 0;
    std::printf("%zu files, %zu folders\n", emptyFiles,
                emptyFiles ? (emptyFiles + perFolder - 1) / perFolder : folders);
    return ok ? 0 : 1;
}

// Contents that compress about as a phone's system files do: runs of 0 to
// 63 random bytes, each followed by a copy of 8 to 71 bytes from up to 2 KiB
// before it, so that the repeats lie within a small cluster too.
Bytes compressibleContents(size_t size, uint32_t seed) {
    Bytes out(size);
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    };
    for (size_t i = 0; i < size;) {
        const uint64_t r = next();
        for (size_t lit = r & 63; lit > 0 && i < size; --lit)
            out[i++] = static_cast<std::byte>(next());
        const size_t back = 1 + ((r >> 8) & 2047);
        for (size_t len = 8 + ((r >> 24) & 63); len > 0 && i < size && back <= i; --len, ++i)
            out[i] = out[i - back];
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Make a synthetic tree as a YAFFS2 image and/or a folder."};
    std::string out, treeDir;
    size_t files = 1000;
    uint64_t bytes = 16u << 20;
    uint32_t seed = 1;
    size_t emptyFiles = 0, perFolder = 1000, folders = 0;
    bool compressible = false;
    app.add_option("--out", out, "YAFFS2 image to write");
    app.add_option("--tree-dir", treeDir, "Folder to write the same tree into");
    app.add_option("--files", files, "Number of regular files");
    app.add_option("--bytes", bytes, "Total bytes of file contents (approximate)");
    app.add_option("--seed", seed, "Random seed");
    app.add_flag("--compressible", compressible,
                 "Contents that compress to about half (random bytes otherwise)");
    app.add_option("--empty-files", emptyFiles,
                   "Instead: this many empty files, --per-folder in each folder below the root");
    app.add_option("--per-folder", perFolder, "With --empty-files: files per folder")
        ->check(CLI::PositiveNumber);
    app.add_option("--folders", folders,
                   "Instead: this many empty folders, --per-folder in each folder, as a tree");
    CLI11_PARSE(app, argc, argv);
    if (out.empty() && treeDir.empty()) {
        std::fprintf(stderr, "give --out and/or --tree-dir\n");
        return 2;
    }
    if (emptyFiles > 0 || folders > 0) {
        // Trees for the memory benchmarks: the image is written chunk by
        // chunk to out, never held whole.
        if (out.empty()) {
            std::fprintf(stderr, "--empty-files and --folders need --out\n");
            return 2;
        }
        return writeSparseTree(out, emptyFiles, folders, perFolder);
    }

    std::mt19937_64 rng(seed);
    const size_t dirs = std::max<size_t>(1, files / 10);
    const size_t links = files / 50;
    const char* exts[] = {".so", ".apk", ".xml", ".png", ".jpg", ".txt", ".odex", ".conf", ""};
    const uint64_t mean = files ? bytes / files : 0;
    std::exponential_distribution<double> sizeDist(mean ? 1.0 / static_cast<double>(mean) : 1.0);

    Yaffs2Builder b;
    b.root(040755, 1700000000);
    std::vector<uint32_t> dirIds{1};
    std::vector<std::filesystem::path> dirPaths{treeDir};
    uint32_t next = 258;
    if (!treeDir.empty())
        std::filesystem::create_directories(treeDir);

    for (size_t d = 0; d < dirs; ++d) {
        size_t parent = d == 0 ? 0 : rng() % dirIds.size();
        char name[32];
        std::snprintf(name, sizeof name, "dir%05zu", d);
        b.dir(next, dirIds[parent], name);
        dirIds.push_back(next++);
        if (!treeDir.empty()) {
            dirPaths.push_back(dirPaths[parent] / name);
            std::filesystem::create_directory(dirPaths.back());
        }
    }
    uint64_t written = 0;
    for (size_t f = 0; f < files; ++f) {
        size_t parent = rng() % dirIds.size();
        uint64_t size = f + 1 == files ? (bytes > written ? bytes - written : 0)
                                       : static_cast<uint64_t>(sizeDist(rng));
        size = std::min<uint64_t>(size, 64u << 20);
        if (written + size > bytes)
            size = bytes > written ? bytes - written : 0;
        written += size;
        char name[48];
        std::snprintf(name, sizeof name, "file%06zu%s", f, exts[rng() % std::size(exts)]);
        Bytes data = compressible
                         ? compressibleContents(static_cast<size_t>(size), static_cast<uint32_t>(f))
                         : pattern(static_cast<size_t>(size), static_cast<uint32_t>(f));
        if (!out.empty())
            b.file(next++, dirIds[parent], name, data, 0100644);
        if (!treeDir.empty()) {
            std::ofstream o(dirPaths[parent] / name, std::ios::binary);
            o.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(size));
        }
    }
    for (size_t l = 0; l < links; ++l) {
        size_t parent = rng() % dirIds.size();
        char name[32];
        std::snprintf(name, sizeof name, "link%05zu", l);
        std::string target = "../file" + std::to_string(l);
        if (!out.empty())
            b.symlink(next++, dirIds[parent], name, target);
        if (!treeDir.empty())
            std::filesystem::create_symlink(target, dirPaths[parent] / name);
    }
    if (!out.empty())
        b.save(out);
    std::printf("%zu folders, %zu files, %zu links, %llu content bytes\n", dirs, files, links,
                static_cast<unsigned long long>(written));
    return 0;
}
