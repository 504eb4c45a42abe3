# Links the format libraries (libarchive, libsquashfs, LZO, LZ4, zstd, xz,
# zlib, bzip2, Nettle) from the static archives their -dev packages install.
# Each shared library a program loads costs every run a fraction of a
# millisecond to map and relocate, and korvane-cli lists a small image in
# about a dozen: the half dozen here were a tenth of that. Libraries without
# an archive here, or whose archive would pull in much more (libxml2 brings
# ICU and its data), stay shared, as do the C and C++ runtimes.

set(KORVANE_STATIC_NAMES archive squashfs lzo2 nettle lz4 zstd lzma z bz2)

# Points the imported target PkgConfig::<prefix> of each pkg_check_modules
# prefix at the archives of its module and of what the module needs when
# linked statically (pkg-config --static); other names stay as they are.
function(korvane_prefer_static)
    foreach(prefix IN LISTS ARGN)
        set(libs)
        foreach(name IN LISTS ${prefix}_STATIC_LIBRARIES)
            set(item "${name}")
            if(name IN_LIST KORVANE_STATIC_NAMES)
                find_library(KORVANE_STATIC_LIB_${name} NAMES lib${name}.a
                             HINTS ${${prefix}_LIBRARY_DIRS})
                if(KORVANE_STATIC_LIB_${name})
                    set(item "${KORVANE_STATIC_LIB_${name}}")
                endif()
            endif()
            list(APPEND libs "${item}")
        endforeach()
        set_target_properties(PkgConfig::${prefix} PROPERTIES INTERFACE_LINK_LIBRARIES "${libs}")
    endforeach()
endfunction()
