#pragma once

#include <memory>
#include <string>

namespace KXLogImpl {

// The process-wide facade that starts and stops the log. It keeps its own copy of
// the process's arguments (for the "-v" flag) and reports its lifecycle in the log.
class Log {
  public:
    static Log& Instance();
    virtual ~Log();

    bool Initialize(std::string& error);
    bool Terminate(std::string& error);
    bool IsInitialized() const;

    // "KXLog <version>-<revision>".
    static const std::string& DisplayName();

  private:
    Log();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace KXLogImpl
