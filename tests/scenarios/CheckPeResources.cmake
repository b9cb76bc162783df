# Checks the resource directory of KstvCardReader.exe: REGISTRY 100 of 191 bytes,
# TYPELIB 1, the string block holding id 100 (type 6, block 7) and the manifest
# (type 24, id 1) and the version (type 16, id 1), each in US English (0x409). Run with
# -DOBJDUMP= -DEXE=.
execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE dump RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${OBJDUMP} failed on ${EXE}")
endif()
string(REGEX MATCH "The \\.rsrc Resource Directory section:.*" directory "${dump}")
string(REGEX REPLACE "\n\n.*" "" directory "${directory}")

# Flatten the tree into "type/id/language=size" records, one for each leaf. The depth of
# an entry shows in its indentation: objdump indents each level by two more blanks.
string(REPLACE "\n" ";" lines "${directory}")
set(records "")
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-f]+( +)Entry: (name: .*: ([A-Z]+)|ID: 0x0*([0-9a-f]+)),")
    string(LENGTH "${CMAKE_MATCH_1}" indent)
    set(entry "${CMAKE_MATCH_3}${CMAKE_MATCH_4}")
    if(indent LESS 5)
      set(type "${entry}")
    elseif(indent LESS 7)
      set(id "${entry}")
    else()
      set(language "${entry}")
    endif()
  elseif(line MATCHES "Leaf: .*Size: 0x0*([0-9a-f]+),")
    string(APPEND records "${type}/${id}/${language}=${CMAKE_MATCH_1};")
  endif()
endforeach()
message(STATUS "resources: ${records}")

function(expect_resource label pattern)
  if(NOT records MATCHES "(^|;)${pattern};")
    message(FATAL_ERROR "missing ${label}; the executable carries: ${records}")
  endif()
  message(STATUS "found ${label}")
endfunction()

expect_resource("REGISTRY 100 of 191 bytes" "REGISTRY/64/409=bf")
expect_resource("TYPELIB 1" "TYPELIB/1/409=[0-9a-f]+")
expect_resource("string block 7 (ids 96 to 111)" "6/7/409=[0-9a-f]+")
expect_resource("manifest 1" "18/1/409=[0-9a-f]+")
expect_resource("version 1" "10/1/409=[0-9a-f]+")
