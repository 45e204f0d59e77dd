#pragma once
// The build context that the engine's image build takes: a tar archive of a folder.

#include <filesystem>

namespace velmora::boxwright::engine {

// Writes the tar archive of everything below folder to tar_file: names relative to folder, owner
// root, symbolic links stored as links (never followed), entries other than files, folders and
// links left out. Throws OSError when folder is no folder or cannot be read.
void write_build_context(const std::filesystem::path& folder,
                         const std::filesystem::path& tar_file);

}  // namespace velmora::boxwright::engine
