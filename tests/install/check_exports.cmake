# Fails unless the engine's shared library exports its public surface and
# nothing else. Run as
#   cmake -DNM=nm -DLIBRARY=libvextune-engine.so -DHEADERS=engine/include/vextune -P check_exports.cmake
#
# The surface is read from the public headers: every function declared with
# VXT_API may be exported as vxt::NAME(...), every class or struct declared
# as `class VXT_API NAME` as its members vxt::NAME::... and its typeinfo and
# vtable. Everything public lives in namespace vxt. Each of these names must
# also be exported at least once, so that a broken export macro cannot pass.

cmake_minimum_required(VERSION 3.25)

foreach(var NM LIBRARY HEADERS)
  if(NOT ${var})
    message(FATAL_ERROR "check_exports.cmake: ${var} is not set")
  endif()
endforeach()

set(ident "[A-Za-z_][A-Za-z0-9_]*")
set(names "")
set(patterns "")
file(GLOB headers ${HEADERS}/*.h)
foreach(header IN LISTS headers)
  file(READ ${header} text)
  # Comments and preprocessor lines (the macro's own definition) are no
  # declarations.
  string(REGEX REPLACE "//[^\n]*" "" text "${text}")
  string(REGEX REPLACE "(^|\n)[ \t]*#[^\n]*" "\\1" text "${text}")

  string(REGEX MATCHALL "(class|struct)[ \t\n]+VXT_API[ \t\n]+${ident}" classes "${text}")
  foreach(decl IN LISTS classes)
    string(REGEX REPLACE ".*VXT_API[ \t\n]+" "" name "${decl}")
    list(APPEND names "vxt::${name}")
    list(APPEND patterns "^vxt::${name}::|^(typeinfo|typeinfo name|vtable) for vxt::${name}$")
  endforeach()

  # A function: the identifier right before the first parenthesis after
  # VXT_API, within one declaration.
  string(REGEX MATCHALL "VXT_API[^;{}(]*[^A-Za-z0-9_]${ident}[ \t\n]*\\(" functions "${text}")
  foreach(decl IN LISTS functions)
    string(REGEX REPLACE ".*[^A-Za-z0-9_](${ident})[ \t\n]*\\($" "\\1" name "${decl}")
    list(APPEND names "vxt::${name}")
    list(APPEND patterns "^vxt::${name}\\(")
  endforeach()
endforeach()
list(LENGTH names declared)
if(declared EQUAL 0)
  message(FATAL_ERROR "no VXT_API declaration found in ${HEADERS}")
endif()

execute_process(COMMAND ${NM} -D --defined-only -C ${LIBRARY}
  OUTPUT_VARIABLE listing RESULT_VARIABLE failed ERROR_VARIABLE errors)
if(failed)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}: ${errors}")
endif()

set(unexpected "")
set(seen "")
string(REGEX MATCHALL "[^\n]+" lines "${listing}")
foreach(line IN LISTS lines)
  # "ADDRESS TYPE NAME"
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" symbol "${line}")
  # ABI tags (functions returning std::string) sit between name and "(".
  string(REGEX REPLACE "\\[abi:[A-Za-z0-9_]+\\]" "" symbol "${symbol}")
  set(matched FALSE)
  foreach(name pattern IN ZIP_LISTS names patterns)
    if(symbol MATCHES "${pattern}")
      set(matched TRUE)
      list(APPEND seen "${name}")
      break()
    endif()
  endforeach()
  if(NOT matched)
    list(APPEND unexpected "${line}")
  endif()
endforeach()

set(missing "")
foreach(name IN LISTS names)
  if(NOT name IN_LIST seen)
    list(APPEND missing "${name}")
  endif()
endforeach()

list(LENGTH lines total)
message(STATUS "${total} exported symbols, ${declared} public declarations")
if(unexpected OR missing)
  list(JOIN unexpected "\n  " unexpected)
  list(JOIN missing "\n  " missing)
  message(FATAL_ERROR "${LIBRARY} does not export exactly its public surface\n"
    "exported, but not declared VXT_API in ${HEADERS}:\n  ${unexpected}\n"
    "declared VXT_API, but not exported:\n  ${missing}")
endif()
