#pragma once

// What the store needs to know about another process's threads: whether one
// exists and whether it is getting on with its work. Linux ids name processes
// and threads alike. The implementation is Process_linux.cpp; neither call blocks.

namespace KXCommon {

// True while a process or thread of that id exists, whoever owns it.
bool ProcessExists(int id);

enum class ThreadActivity {
    Gone,     // no such thread, or one that has ended and not yet been reaped
    Working,  // running, waiting for a processor, or inside the kernel (a page fault)
    Waiting,  // asleep until something happens
    Stopped,  // stopped by a signal or held by a debugger
};

// Read from the kernel's record of the thread at the moment of the call.
ThreadActivity ActivityOf(int tid);

}  // namespace KXCommon
