# cmake -DFROM=<dir> -DTO=<dir> -P MirrorBundle.cmake
# Makes TO an exact copy of FROM: new and changed entries are copied (modes and
# times kept, symbolic links as links), entries that FROM no longer has are removed.
if(NOT IS_DIRECTORY "${FROM}")
    message(FATAL_ERROR "MirrorBundle: '${FROM}' is not a folder")
endif()
file(MAKE_DIRECTORY "${TO}")
# file(COPY) keeps permissions and time stamps and skips files whose copy has the
# same time stamp, so an unchanged bundle costs a few stat calls.
file(COPY "${FROM}/" DESTINATION "${TO}" USE_SOURCE_PERMISSIONS)

file(GLOB_RECURSE _have LIST_DIRECTORIES true RELATIVE "${TO}" "${TO}/*")
# Deepest entries first, so a folder is looked at after its contents.
list(SORT _have ORDER DESCENDING)
foreach(_entry IN LISTS _have)
    if(NOT EXISTS "${FROM}/${_entry}" AND NOT IS_SYMLINK "${FROM}/${_entry}")
        file(REMOVE_RECURSE "${TO}/${_entry}")
    endif()
endforeach()
