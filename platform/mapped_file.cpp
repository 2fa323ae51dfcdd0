#include "platform/mapped_file.h"

#include <glib.h>

namespace platform {

std::unique_ptr<MappedFile> MappedFile::open(const std::string& path, std::string* error) {
    GError* gerror = nullptr;
    GMappedFile* mapped = g_mapped_file_new(path.c_str(), FALSE, &gerror);
    if (!mapped) {
        if (error && gerror) *error = gerror->message;
        g_clear_error(&gerror);
        return nullptr;
    }
    return std::unique_ptr<MappedFile>(new MappedFile(mapped));
}

MappedFile::~MappedFile() { g_mapped_file_unref(static_cast<GMappedFile*>(mapped_)); }

const char* MappedFile::data() const { return g_mapped_file_get_contents(static_cast<GMappedFile*>(mapped_)); }

std::size_t MappedFile::size() const { return g_mapped_file_get_length(static_cast<GMappedFile*>(mapped_)); }

}  // namespace platform
