cw_add_gtest(metal_obj_test SOURCES metal_obj_test.cpp LIBS cwphymod_static)

# The public header from C, against the shared library.
add_executable(metal_obj_c_test metal_obj_c_test.c)
target_link_libraries(metal_obj_c_test PRIVATE cwphymod)
add_test(NAME MetalObjC.BuildsStrikesStepsAndFrees COMMAND metal_obj_c_test)

# The allocation-failure paths under valgrind: no leak, no invalid access.
find_program(VALGRIND valgrind)
if(VALGRIND)
  add_test(NAME MetalObjValgrind.AllocationFailureLeaksNothing
    COMMAND ${VALGRIND} --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect
            $<TARGET_FILE:metal_obj_test> --gtest_filter=AllocationFailure.*:Release.*)
endif()

# The same library sources at -O0 and at -O2 must give the same bits, for the
# reference step and for every path of the fast stepper (which must also match
# the reference).
foreach(level 0 2)
  add_executable(metal_obj_trace_O${level} metal_obj_trace.cpp
    ${CWPHYMOD_SOURCE_PATHS})
  target_include_directories(metal_obj_trace_O${level} PRIVATE ${PROJECT_SOURCE_DIR}/lib/metal_obj)
  target_compile_options(metal_obj_trace_O${level} PRIVATE -O${level} -fno-math-errno)
  target_link_libraries(metal_obj_trace_O${level} PRIVATE m Threads::Threads)
endforeach()
add_test(NAME MetalObjDeterminism.O0AndO2GiveIdenticalBits
  COMMAND ${CMAKE_COMMAND} -DA=$<TARGET_FILE:metal_obj_trace_O0> -DB=$<TARGET_FILE:metal_obj_trace_O2>
          -P ${CMAKE_CURRENT_SOURCE_DIR}/compare_outputs.cmake)

add_test(NAME MetalObjExports.OnlyLibrarySymbolsAndSoname
  COMMAND ${CMAKE_COMMAND} -DLIB=$<TARGET_FILE:cwphymod> -P ${CMAKE_CURRENT_SOURCE_DIR}/metal_obj_exports.cmake)

set(installed_programs "")
foreach(program clangwright clangwright-render clangwright-analyse clangwright-live)
  if(TARGET ${program})
    list(APPEND installed_programs ${program})
  endif()
endforeach()
add_test(NAME Install.LibraryHeaderAndProgramsLandUnderThePrefix
  COMMAND ${CMAKE_COMMAND} -DBUILD=${PROJECT_BINARY_DIR} "-DPROGRAMS=${installed_programs}"
          -P ${CMAKE_CURRENT_SOURCE_DIR}/install_check.cmake)
