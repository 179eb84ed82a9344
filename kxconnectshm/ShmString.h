#pragma once

// The text type of every object in the store's segments. Code that maps a store
// segment itself (a peer, a test) uses it to find the same objects by name.

#include <boost/container/string.hpp>
#include <boost/interprocess/allocators/allocator.hpp>
#include <boost/interprocess/managed_shared_memory.hpp>

#include <string>

namespace KXConnectShm {

using ShmCharAllocator =
    boost::interprocess::allocator<char,
                                   boost::interprocess::managed_shared_memory::segment_manager>;

using ShmString = boost::container::basic_string<char, std::char_traits<char>, ShmCharAllocator>;

}  // namespace KXConnectShm
