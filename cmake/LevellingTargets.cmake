# Helpers that give every target of the project the same warnings, include layout and install
# rules.
include(GNUInstallDirs)

# Warnings for one target of the project's own code. STRICT also warns of every implicit
# narrowing, so that in the libraries and the program each rounding to float is written out.
function(levelling_warnings target)
  if(MSVC)
    # /W4 also warns of narrowing conversions.
    target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${LEVELLING_WERROR}>:/WX>)
    return()
  endif()
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic
                         $<$<BOOL:${LEVELLING_WERROR}>:-Werror>)
  if("STRICT" IN_LIST ARGN)
    target_compile_options(${target} PRIVATE -Wconversion)
  endif()
endfunction()

# levelling_library(<folder> <sources>...): the library of one folder (a path from the top of
# the tree, "formats/ply"), levelling_<folder> with its slashes made underscores, also known as
# levelling::<folder>. Its headers are included as "<folder>/<name>.h", from the source tree
# when building and from include/levelling once installed.
function(levelling_library folder)
  string(REPLACE "/" "_" name ${folder})
  set(target levelling_${name})
  add_library(${target} ${ARGN})
  add_library(levelling::${name} ALIAS ${target})
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${name})
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/levelling>)
  levelling_warnings(${target} STRICT)
  # Its public headers; a header that says it is "Internal to" its folder stays in the source
  # tree.
  file(GLOB headers RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  foreach(header ${headers})
    file(STRINGS ${header} internal LIMIT_COUNT 12 REGEX "Internal to ")
    if(internal)
      continue()
    endif()
    install(FILES ${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/levelling/${folder})
  endforeach()
  install(TARGETS ${target} EXPORT levellingTargets
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endfunction()

# levelling_vectorised(<sources>...): sources whose point loops are written to vectorise, which
# GCC and Clang do at -O3 (their -O2 keeps only the cheapest vectorisations). Vectorised code
# may take two NaN operands in the other order, which changes the sign of a printed NaN, so only
# sources that pin the NaN an operation keeps, or report a NaN as a failure, go here.
# Contraction and fast-math stay off, so no other bit moves.
function(levelling_vectorised)
  set_property(SOURCE ${ARGN} APPEND PROPERTY COMPILE_OPTIONS
               $<$<AND:$<NOT:$<CONFIG:Debug>>,$<CXX_COMPILER_ID:GNU,Clang>>:-O3>)
endfunction()
