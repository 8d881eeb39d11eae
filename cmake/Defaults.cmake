# Compiler settings shared by every target of the kit.

set(CMAKE_C_STANDARD 11)
set(CMAKE_C_STANDARD_REQUIRED ON)
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
set(CMAKE_EXPORT_COMPILE_COMMANDS ON)

add_compile_options(-Wall -Wextra -Werror)

# 64-bit file offsets and inode numbers on the 32-bit board too: without
# them readdir and stat fail with EOVERFLOW on file systems that hand out
# 64-bit directory offsets or inode numbers, and files over 2 GiB cannot be
# copied. No public header uses off_t, ino_t or struct stat.
add_compile_definitions(_FILE_OFFSET_BITS=64)

# Numeric results must not depend on the target's fused multiply-add:
# every product is rounded before it is added.
add_compile_options(-ffp-contract=off)

option(QN_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(QN_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()
