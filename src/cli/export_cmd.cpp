// korvane-cli export: the Android build's metadata of an image, as fs_config
// and file_contexts files.
#include "command.h"
#include "model/error.h"
#include "transfer/android_config.h"

#include <cerrno>
#include <cstdio>
#include <memory>

namespace korvane::cli {

namespace {

struct ExportOptions {
    std::string image;
    std::string fsConfig;
    std::string fileContexts;
    std::string mountPoint = "/";
    OpenOptions open;
};

void writeTo(const std::string& path, const std::function<void(std::FILE*)>& write) {
    std::FILE* f = path == "-" ? stdout : std::fopen(path.c_str(), "w");
    if (!f)
        throwSystemError(msg("cannot create %1", path), errno);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(f == stdout ? nullptr : f, std::fclose);
    write(f);
    if (std::fflush(f) != 0)
        throwSystemError(msg("cannot write %1", path), errno);
}

} // namespace

void addExportCommand(CLI::App& app, Commands& out) {
    auto o = std::make_shared<ExportOptions>();
    auto* cmd =
        addCommand(app, "export",
                   "Write the image's owners, modes, capabilities (fs_config) and SELinux labels "
                   "(file_contexts) as the Android build keeps them");
    if (!cmd)
        return;
    cmd->add_option("IMAGE", o->image, "Image file")->required();
    auto* fs = cmd->add_option("--fs-config", o->fsConfig,
                               "Write every object's path, uid, gid, mode and capabilities here "
                               "(- for standard output)");
    auto* fc = cmd->add_option("--file-contexts", o->fileContexts,
                               "Write every labelled object's exact path and SELinux label here");
    cmd->add_option("--mount-point", o->mountPoint,
                    "Where the image is mounted on the device (/system): the paths' prefix");
    cmd->callback([o, fs, fc] {
        if (fs->count() == 0 && fc->count() == 0)
            throw CLI::RequiredError("--fs-config FILE or --file-contexts FILE");
    });
    addOpenOptions(cmd, o->open);
    out.push_back(
        {cmd, [o](Context& ctx) {
             auto& img = openImage(ctx, o->image, o->open);
             if (!o->fsConfig.empty())
                 writeTo(o->fsConfig, [&](std::FILE* f) { writeFsConfig(*img, o->mountPoint, f); });
             if (!o->fileContexts.empty())
                 writeTo(o->fileContexts,
                         [&](std::FILE* f) { writeFileContexts(*img, o->mountPoint, f); });
             return 0;
         }});
}

} // namespace korvane::cli
