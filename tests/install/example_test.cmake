# Installs the built library into a fresh prefix, builds examples/find_package against it
# with find_package(lumora), runs the example on one frame with the generated test networks,
# and checks the pkg-config file. Run as:
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DMODEL_TOOL=... -DWORK_DIR=... -P example_test.cmake
foreach(var BUILD_DIR SOURCE_DIR MODEL_TOOL WORK_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}\n${err}")
  endif()
  set(OUTPUT "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/find_package -B ${WORK_DIR}/build -G Ninja
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${MODEL_TOOL} ${WORK_DIR}/networks)
run(${WORK_DIR}/build/lumora_example ${WORK_DIR}/networks)
message(STATUS "${OUTPUT}")
if(NOT OUTPUT MATCHES "lumora 3\\.0\\.0: 1 face\\(s\\)\nface 1 at 340,240 ")
  message(FATAL_ERROR "unexpected output of the example:\n${OUTPUT}")
endif()

# The pkg-config file names the same prefix, wherever it was installed.
file(GLOB_RECURSE pc_files ${prefix}/*/lumora.pc)
list(LENGTH pc_files pc_count)
if(NOT pc_count EQUAL 1)
  message(FATAL_ERROR "expected one lumora.pc under ${prefix}, found: ${pc_files}")
endif()
get_filename_component(pc_dir ${pc_files} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
run(pkg-config --cflags --libs lumora)
if(NOT OUTPUT MATCHES "-I[^ ]*/include" OR NOT OUTPUT MATCHES "-llumora")
  message(FATAL_ERROR "unexpected pkg-config answer: ${OUTPUT}")
endif()
run(pkg-config --variable=includedir lumora)
string(STRIP "${OUTPUT}" includedir)
if(NOT EXISTS ${includedir}/lumora/lm_lumora.h)
  message(FATAL_ERROR "pkg-config's includedir ${includedir} lacks lumora/lm_lumora.h")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
