# Installs the build tree to a scratch prefix, then configures, builds and
# runs the consumer project against that prefix. Run by ctest as cmake -P.
foreach(var BUILD_DIR PREFIX CONSUMER_SOURCE CONSUMER_BUILD GENERATOR CXX_COMPILER LIBDIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "RunPackageTest: ${var} not set")
  endif()
endforeach()

function(step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  message(STATUS "${out}")
endfunction()

# The libraries must be current before they are installed.
step(${CMAKE_COMMAND} --build ${BUILD_DIR} --target OrvantaOpenAI OrvantaSDK)

file(REMOVE_RECURSE "${PREFIX}" "${CONSUMER_BUILD}")
step(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX})

step(${CMAKE_COMMAND} -S ${CONSUMER_SOURCE} -B ${CONSUMER_BUILD} -G ${GENERATOR}
  -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
  -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
  "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
  "-DCMAKE_EXE_LINKER_FLAGS=${EXE_LINKER_FLAGS}"
  -DCMAKE_PREFIX_PATH=${PREFIX}
  -DCONSUMER_WITH_BASE64=${WITH_BASE64})
step(${CMAKE_COMMAND} --build ${CONSUMER_BUILD})
step(${CMAKE_COMMAND} -E env "LD_LIBRARY_PATH=${PREFIX}/${LIBDIR}" ${CONSUMER_BUILD}/consumer)
