// The desktop workspace: hands URLs and files to their default applications and ends the
// program. GIO backs it in the program; tests install a scripted one.
#pragma once

#include <memory>
#include <string>

namespace platform {

class Workspace {
public:
    virtual ~Workspace() = default;
    // Opens the URL with the default handler of its scheme; answers whether it was handed over.
    virtual bool openURL(const std::string& url) = 0;
    // Opens the file with the default application for its type.
    virtual bool openFile(const std::string& path) = 0;
    // Ends the application the ordinary way (will-terminate notice first).
    virtual void terminate() = 0;
};

Workspace& sharedWorkspace();
// Replaces the GIO workspace (tests); null restores it.
void setSharedWorkspace(std::shared_ptr<Workspace> workspace);

}  // namespace platform
