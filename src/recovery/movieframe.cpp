#include "recovery/movieframe.h"

#include <dlfcn.h>

#include <filesystem>
#include <mutex>

#include "recovery/cthumb.h"

namespace {

using ReadFn = bool (*)(const std::string*, const QSize*, MovieFrame*, QSize (*)(QSize, QSize));

struct Module {
    ReadFn Read = nullptr;
    std::string Error;  // why there is none
};

// The folders that may hold the module, first found wins: beside the installed program
// (bin/../lib/.../pixsalvo3); for a program or test run from the build tree, the build
// tree's. An installed program never looks into a build tree, which may be anybody's.
std::vector<std::filesystem::path> ModuleFolders()
{
    std::vector<std::filesystem::path> folders;
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return folders;
    folders.push_back((exe.parent_path() / PX3_MODULE_FROM_BIN).lexically_normal());
    const std::string tree = PX3_BUILD_TREE "/";
    if (exe.string().compare(0, tree.size(), tree) == 0)
        folders.emplace_back(PX3_MODULE_BUILD_DIR);
    return folders;
}

const Module& LoadModule()
{
    static Module module;
    static std::once_flag once;
    std::call_once(once, [] {
        module.Error = "the movie decoder (" PX3_MOVIE_MODULE ") is not installed";
        for (const std::filesystem::path& folder : ModuleFolders()) {
            const std::filesystem::path file = folder / PX3_MOVIE_MODULE;
            std::error_code error;
            if (!std::filesystem::exists(file, error))
                continue;
            // Kept loaded for the process's life: thumbnail workers may be inside it.
            void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!handle) {
                const char* why = ::dlerror();
                module.Error = why ? why : "the movie decoder could not be loaded";
                continue;
            }
            module.Read = reinterpret_cast<ReadFn>(::dlsym(handle, "Px3ReadMovieFrame"));
            if (module.Read)
                return;
            module.Error = file.string() + " has no Px3ReadMovieFrame";
        }
    });
    return module;
}

}  // namespace

bool ReadMovieFrame(const std::string& path, QSize box, MovieFrame& frame)
{
    const Module& module = LoadModule();
    if (!module.Read) {
        frame = {};
        frame.Error = module.Error;
        return false;
    }
    return module.Read(&path, &box, &frame, &FitSize);
}
