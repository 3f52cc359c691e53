# Holds the files of corelib to their layer order:
#   cmake -DROOT=<folder that holds corelib/> -DTABLE=<layer table> -P check-layers.cmake
# The table (corelib/layers.txt describes its form) lists the layers lowest first and
# places every file. Fails, naming the table, the file and the include, when a file
# includes (as "corelib/...") a header of a later layer; fails too on a file the table
# does not place, on a pattern that matches nothing or a file placed twice.
cmake_minimum_required(VERSION 3.25)

if(NOT ROOT OR NOT TABLE)
    message(FATAL_ERROR "usage: cmake -DROOT=<folder holding corelib/> -DTABLE=<layer table> -P check-layers.cmake")
endif()
set(lib_dir "${ROOT}/corelib")
file(RELATIVE_PATH table_name "${ROOT}" "${TABLE}")

set(problems "")
set(layer_names "")          # in order, lowest first
set(folder_entries "")       # "folder/" entries ...
set(folder_layers "")        # ... and the index of their layer
set(placed_files "")         # files placed by a pattern ...
set(placed_layers "")        # ... and the index of their layer

# Reads the table.
file(STRINGS "${TABLE}" table_lines)
set(line_number 0)
foreach(line IN LISTS table_lines)
    math(EXPR line_number "${line_number} + 1")
    string(REGEX REPLACE "#.*" "" line "${line}")
    string(STRIP "${line}" line)
    if(line STREQUAL "")
        continue()
    endif()
    string(REGEX REPLACE "[ \t]+" ";" words "${line}")
    list(POP_FRONT words layer)
    # A layer may take several lines in a row; a name that comes back later is a mistake.
    list(LENGTH layer_names count)
    list(FIND layer_names "${layer}" found)
    if(found EQUAL -1)
        list(APPEND layer_names "${layer}")
        set(index ${count})
    else()
        math(EXPR last "${count} - 1")
        if(NOT found EQUAL last)
            list(APPEND problems "${table_name}:${line_number}: layer ${layer} comes back after a later layer")
        endif()
        set(index ${found})
    endif()
    foreach(entry IN LISTS words)
        if(entry MATCHES "/$")
            list(APPEND folder_entries "${entry}")
            list(APPEND folder_layers ${index})
            continue()
        endif()
        file(GLOB matched RELATIVE "${lib_dir}" "${lib_dir}/${entry}")
        if(NOT matched)
            list(APPEND problems "${table_name}:${line_number}: ${entry} matches no file")
        endif()
        foreach(file IN LISTS matched)
            list(FIND placed_files "${file}" earlier)
            if(NOT earlier EQUAL -1)
                list(APPEND problems "${table_name}:${line_number}: corelib/${file} is placed twice")
            endif()
            list(APPEND placed_files "${file}")
            list(APPEND placed_layers ${index})
        endforeach()
    endforeach()
endforeach()

# Sets out_var to the layer index of a file under corelib/, or -1 when the table does not
# place it: a pattern that names it, else the entry of its folder.
function(layer_of file out_var)
    list(FIND placed_files "${file}" at)
    if(NOT at EQUAL -1)
        list(GET placed_layers ${at} layer_index)
        set(${out_var} ${layer_index} PARENT_SCOPE)
        return()
    endif()
    get_filename_component(folder "${file}" DIRECTORY)
    list(FIND folder_entries "${folder}/" at)
    if(NOT at EQUAL -1)
        list(GET folder_layers ${at} layer_index)
        set(${out_var} ${layer_index} PARENT_SCOPE)
        return()
    endif()
    set(${out_var} -1 PARENT_SCOPE)
endfunction()

# Checks every source and header.
file(GLOB_RECURSE sources RELATIVE "${lib_dir}"
    "${lib_dir}/*.h" "${lib_dir}/*.hpp" "${lib_dir}/*.inl" "${lib_dir}/*.c" "${lib_dir}/*.cpp" "${lib_dir}/*.S")
list(SORT sources)
set(num_includes 0)
foreach(file IN LISTS sources)
    layer_of("${file}" file_layer)
    if(file_layer EQUAL -1)
        list(APPEND problems "${table_name}: corelib/${file} is in no layer")
        continue()
    endif()
    list(GET layer_names ${file_layer} file_layer_name)
    file(STRINGS "${lib_dir}/${file}" include_lines REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]corelib/")
    foreach(include_line IN LISTS include_lines)
        string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[\"<]corelib/([^\">]+)[\">].*$" "\\1" included "${include_line}")
        math(EXPR num_includes "${num_includes} + 1")
        layer_of("${included}" included_layer)
        if(included_layer EQUAL -1)
            list(APPEND problems "${table_name}: corelib/${file} includes corelib/${included}, which is in no layer")
        elseif(included_layer GREATER file_layer)
            list(GET layer_names ${included_layer} included_layer_name)
            list(APPEND problems
                "${table_name}: corelib/${file} (layer ${file_layer_name}) includes corelib/${included} (layer ${included_layer_name}, later)")
        endif()
    endforeach()
endforeach()

if(problems)
    # One line each, unwrapped, so that every line names its file and include whole.
    foreach(problem IN LISTS problems)
        message(NOTICE "${problem}")
    endforeach()
    list(LENGTH problems num_problems)
    message(FATAL_ERROR "${table_name}: the layer order is broken (${num_problems} problems above)")
endif()
list(LENGTH sources num_files)
list(JOIN layer_names " -> " order)
message(STATUS "${num_files} files, ${num_includes} includes, no upward include: ${order}")
