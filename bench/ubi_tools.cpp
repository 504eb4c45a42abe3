// korvane-ubi-bench: inputs of the UBI, UBIFS and NAND dump benchmarks.
//   tree DIR --files N --bytes B   a folder of N files, B content bytes: text
//                                  files that compress (as firmware's
//                                  scripts and configuration do) beside
//                                  binaries that do not, folders, links
//   nand IN OUT                    a raw NAND dump of a UBI image: 2048+64
//                                  pages with the MTD Hamming ECC
//   claim IN OUT                   a UBIFS image with a journal that adds a
//                                  file claiming 64 GiB over one block
//   reserve IN OUT                 a UBI image whose first volume reserves
//                                  500,000 LEBs
#include "container/ubi/ubi_format.h"
#include "container/ubi/ubi_headers.h"
#include "source/nand/nand_ecc.h"
#include "support/testutil.h"
#include "support/ubi_builders.h"
#include "support/yaffs2_builder.h"

#include <CLI/CLI.hpp>
#include <filesystem>
#include <fstream>
#include <random>

using namespace korvane;
using namespace korvane::test;
namespace fs = std::filesystem;

namespace {

// Text of words from a small vocabulary: about what LZO makes of scripts,
// XML and configuration files.
Bytes text(size_t size, std::mt19937_64& rng) {
    static const char* kWords[] = {"service", "on",          "property", "class", "main",   "user",
                                   "system",  "=",           "\n",       "<item", "/>",     "value",
                                   "path",    "/vendor/lib", "true",     "false", "import", "0x1f"};
    Bytes out;
    out.reserve(size);
    while (out.size() < size) {
        const char* w = kWords[rng() % std::size(kWords)];
        for (const char* c = w; *c && out.size() < size; ++c)
            out.push_back(static_cast<std::byte>(*c));
        if (out.size() < size)
            out.push_back(std::byte{' '});
    }
    return out;
}

int makeTree(const std::string& dir, size_t files, uint64_t bytes, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<fs::path> dirs{dir};
    fs::create_directories(dir);
    for (size_t d = 0; d < files / 10; ++d) {
        char name[32];
        std::snprintf(name, sizeof name, "dir%05zu", d);
        dirs.push_back(dirs[rng() % dirs.size()] / name);
        fs::create_directory(dirs.back());
    }
    const char* exts[] = {".so", ".apk", ".xml", ".png", ".txt", ".rc", ".conf", ".odex", ""};
    std::exponential_distribution<double> sizes(static_cast<double>(files) /
                                                static_cast<double>(std::max<uint64_t>(bytes, 1)));
    uint64_t written = 0;
    for (size_t f = 0; f < files; ++f) {
        uint64_t size = std::min<uint64_t>(static_cast<uint64_t>(sizes(rng)), 32u << 20);
        size = std::min(size, bytes - std::min(bytes, written));
        written += size;
        const char* ext = exts[rng() % std::size(exts)];
        const std::string e = ext;
        const bool compresses = e == ".xml" || e == ".txt" || e == ".rc" || e == ".conf";
        const Bytes data = compresses ? text(size, rng) : pattern(size, static_cast<uint32_t>(f));
        char name[48];
        std::snprintf(name, sizeof name, "file%06zu%s", f, ext);
        writeFile((dirs[rng() % dirs.size()] / name).string(), data);
    }
    for (size_t l = 0; l < files / 50; ++l)
        fs::create_symlink("../file" + std::to_string(l),
                           dirs[rng() % dirs.size()] / ("link" + std::to_string(l)));
    std::printf("%zu folders, %zu files, %llu content bytes\n", dirs.size() - 1, files,
                static_cast<unsigned long long>(written));
    return 0;
}

int makeNand(const std::string& in, const std::string& out) {
    constexpr uint32_t kPage = 2048, kSpare = 64;
    nand::EccLayout ecc{nand::EccScheme::kNand256, 256, {}};
    for (uint16_t i = 40; i < 64; ++i)
        ecc.positions.push_back(i);
    std::ifstream src(in, std::ios::binary);
    std::ofstream dst(out, std::ios::binary);
    Bytes page(kPage), spare(kSpare), code(kPage / 256 * 3);
    while (src.read(reinterpret_cast<char*>(page.data()), kPage) || src.gcount() > 0) {
        std::fill(page.begin() + src.gcount(), page.end(), std::byte{0xFF});
        std::fill(spare.begin(), spare.end(), std::byte{0xFF});
        nand::computeEcc(ecc.scheme, page.data(), kPage, code.data());
        for (size_t i = 0; i < code.size(); ++i)
            spare[ecc.positions[i]] = code[i];
        dst.write(reinterpret_cast<const char*>(page.data()), kPage);
        dst.write(reinterpret_cast<const char*>(spare.data()), kSpare);
    }
    return 0;
}

int makeClaim(const std::string& in, const std::string& out) {
    UbifsJournal j(readFile(in));
    const uint32_t inum = j.highestInum() + 1;
    j.data(inum, 1000, pattern(4096, 1));
    j.inode(inum, 0100644, 64ull << 30, 1, 1700000000);
    j.dent(1, "claims", inum, 0);
    writeFile(out, j.finish());
    return 0;
}

int makeReserve(const std::string& in, const std::string& out) {
    Bytes img = readFile(in);
    const UbiOffsets o = ubiOffsets(img);
    const uint32_t peb = [&] {
        for (uint32_t p = 4096; p < img.size(); p *= 2)
            if (ubi::loadEcHeader(img.data() + p))
                return p;
        return 0u;
    }();
    for (uint32_t copy = 0; copy < 2 && peb; ++copy) {
        std::byte* rec = img.data() + size_t{copy} * peb + o.data;
        std::optional<ubi::VolumeRecord> r = ubi::loadVolumeRecord(rec);
        if (r) {
            r->reservedPebs = 500000;
            ubi::storeVolumeRecord(rec, *r);
        }
    }
    writeFile(out, img);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Inputs of the UBI, UBIFS and NAND dump benchmarks."};
    app.require_subcommand(1);
    std::string a, b;
    size_t files = 50000;
    uint64_t bytes = 1ull << 29, seed = 1;
    auto* tree = app.add_subcommand("tree", "a folder of files");
    tree->add_option("DIR", a)->required();
    tree->add_option("--files", files);
    tree->add_option("--bytes", bytes);
    tree->add_option("--seed", seed);
    auto* nandCmd = app.add_subcommand("nand", "a raw NAND dump of a UBI image");
    auto* claim = app.add_subcommand("claim", "a UBIFS image with a file claiming 64 GiB");
    auto* reserve = app.add_subcommand("reserve", "a UBI image reserving 500,000 LEBs");
    for (CLI::App* c : {nandCmd, claim, reserve}) {
        c->add_option("IN", a)->required();
        c->add_option("OUT", b)->required();
    }
    CLI11_PARSE(app, argc, argv);
    if (tree->parsed())
        return makeTree(a, files, bytes, seed);
    if (nandCmd->parsed())
        return makeNand(a, b);
    if (claim->parsed())
        return makeClaim(a, b);
    return makeReserve(a, b);
}
