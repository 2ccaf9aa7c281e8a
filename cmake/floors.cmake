# The engine is built in floors, one static library per folder. A floor's include root holds
# only a link to its own folder, and it sees the folders of the floors it links; so an include
# that runs upward (a socket helper reaching for the run, say) does not compile.
#
# A quoted include is looked for beside the including file first, so "../measurement/x.h" would
# still reach upward; velmora_reject_parent_includes ends the configuration on any such line.
#
#   velmora_floor(<target> <folder> SOURCES <files...> [FLOORS <lower floors...>] [LIBS <libs...>])
function(velmora_floor target folder)
    cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "SOURCES;FLOORS;LIBS")
    get_filename_component(source ${folder} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    get_filename_component(name ${source} NAME)
    set(root ${CMAKE_BINARY_DIR}/floors/${name})
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${source} ${root}/${name} SYMBOLIC)

    add_library(${target} STATIC ${arg_SOURCES})
    target_include_directories(${target} PUBLIC ${root})
    target_compile_features(${target} PUBLIC cxx_std_20)
    target_link_libraries(${target} PUBLIC ${arg_FLOORS} ${arg_LIBS})
endfunction()

# Ends the configuration if a source or header below `folders` includes through "..".
function(velmora_reject_parent_includes)
    set(offenders "")
    foreach(folder IN LISTS ARGN)
        file(GLOB_RECURSE files ${folder}/*.h ${folder}/*.cpp)
        foreach(file IN LISTS files)
            file(STRINGS ${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<][.][.]")
            if(lines)
                list(APPEND offenders "${file}: ${lines}")
            endif()
        endforeach()
    endforeach()
    if(offenders)
        list(JOIN offenders "\n  " listed)
        message(FATAL_ERROR "An include leaves its floor through \"..\":\n  ${listed}")
    endif()
endfunction()
