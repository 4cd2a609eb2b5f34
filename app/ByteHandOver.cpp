#include "app/ByteHandOver.h"

#include <memory>
#include <new>
#include <utility>

bool ByteHandOver::Put(std::string bytes) {
    std::unique_ptr<std::string> block(new (std::nothrow) std::string(std::move(bytes)));
    if (!block) return false;
    delete pending.exchange(block.release());
    return true;
}

bool ByteHandOver::Take(std::string& bytes) {
    std::unique_ptr<std::string> block(pending.exchange(nullptr));
    if (!block) return false;
    bytes = std::move(*block);
    return true;
}
