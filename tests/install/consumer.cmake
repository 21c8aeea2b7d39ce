# One step of the installed-package test, run as
#   cmake -DSTEP=install|cmake|pkgconfig -DBUILD_DIR=... -DWORK_DIR=... -DCONSUMER_DIR=...
#         -DCXX=... -DLIBDIR=lib -DSHARED=ON|OFF -P consumer.cmake
#
#   install    installs BUILD_DIR into WORK_DIR/prefix, afresh
#   cmake      configures and builds CONSUMER_DIR with find_package(vextune)
#              against that prefix, and runs the program
#   pkgconfig  compiles CONSUMER_DIR/main.cpp with the flags pkg-config gives
#              for vextune-engine from that prefix, and runs the program

set(prefix ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE failed)
  if(failed)
    list(JOIN ARGN " " command)
    message(FATAL_ERROR "failed (${failed}): ${command}")
  endif()
endfunction()

if(STEP STREQUAL "install")
  file(REMOVE_RECURSE ${prefix})
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

elseif(STEP STREQUAL "cmake")
  set(build ${WORK_DIR}/cmake-build)
  file(REMOVE_RECURSE ${build})
  run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${build} -G Ninja -DCMAKE_BUILD_TYPE=Release
      -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)
  # The package must come from the fresh installation, not from elsewhere.
  file(STRINGS ${build}/CMakeCache.txt found REGEX "^vextune_DIR:")
  if(NOT found STREQUAL "vextune_DIR:PATH=${prefix}/${LIBDIR}/cmake/vextune")
    message(FATAL_ERROR "find_package(vextune) did not use ${prefix}: ${found}")
  endif()
  run(${CMAKE_COMMAND} --build ${build})
  run(${build}/consumer)

elseif(STEP STREQUAL "pkgconfig")
  find_program(PKG_CONFIG pkg-config REQUIRED)
  # A static engine needs its private dependencies on the link line too.
  set(static "")
  if(NOT SHARED)
    set(static --static)
  endif()
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/${LIBDIR}/pkgconfig
            ${PKG_CONFIG} --cflags --libs ${static} vextune-engine
    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "pkg-config does not know vextune-engine in ${prefix}")
  endif()
  message(STATUS "pkg-config: ${flags}")
  if(NOT flags MATCHES "-I${prefix}/" OR NOT flags MATCHES "-L${prefix}/")
    message(FATAL_ERROR "vextune-engine.pc does not point into ${prefix}: ${flags}")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  set(program ${WORK_DIR}/pkgconfig-consumer)
  run(${CXX} -std=c++20 ${CONSUMER_DIR}/main.cpp ${flags} -Wl,-rpath,${prefix}/${LIBDIR} -o ${program})
  run(${program})

else()
  message(FATAL_ERROR "consumer.cmake: unknown STEP '${STEP}'")
endif()
