# Every outside library the system links, as imported or found targets, in one place; each
# library of the system links those it uses.

# Eigen 3 (header only).
find_package(Eigen3 3.3 REQUIRED NO_MODULE)

# Boost headers (boost::function).
find_package(Boost 1.70 REQUIRED)

# OpenMP (GCC's libgomp).
find_package(OpenMP REQUIRED COMPONENTS CXX)

# Reference BLAS and LAPACK. The 32-bit build needs BLAS only (for UMFPACK): its levmar layer
# solves with its own LU instead of LAPACK.
find_package(BLAS REQUIRED)
if(SERIVANE_BITS EQUAL 64)
  find_package(LAPACK REQUIRED)
  set(SERIVANE_LAPACK LAPACK::LAPACK)
else()
  set(SERIVANE_LAPACK "")
endif()

# SuiteSparse 5.12 (Debian 12) ships neither a CMake config nor pkg-config files: find UMFPACK,
# AMD and SuiteSparse_config by hand and wrap them in one imported target.
find_path(UMFPACK_INCLUDE_DIR umfpack.h PATH_SUFFIXES suitesparse REQUIRED)
find_library(UMFPACK_LIBRARY umfpack REQUIRED)
find_library(AMD_LIBRARY amd REQUIRED)
find_library(SUITESPARSECONFIG_LIBRARY suitesparseconfig REQUIRED)
if(NOT TARGET SuiteSparse::UMFPACK)
  set(umfpack_links ${AMD_LIBRARY} ${SUITESPARSECONFIG_LIBRARY} ${SERIVANE_LAPACK} BLAS::BLAS)
  add_library(SuiteSparse::UMFPACK UNKNOWN IMPORTED)
  set_target_properties(SuiteSparse::UMFPACK PROPERTIES
    IMPORTED_LOCATION "${UMFPACK_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${UMFPACK_INCLUDE_DIR}"
    INTERFACE_LINK_LIBRARIES "${umfpack_links}")
endif()
message(STATUS "UMFPACK: ${UMFPACK_LIBRARY} (headers in ${UMFPACK_INCLUDE_DIR})")

# The headers of a folder of the system are included as "<folder>/<name>.h", but not from the
# project root: each folder has a stage folder of its own in the build tree,
# <build>/include/<folder>, holding nothing but a link <folder> to the source folder. A library
# exports its stage folder only, so a target reaches a folder's headers only through the
# libraries it links, and an include of an undeclared library fails to compile ("No such file or
# directory"). serivane_stage_folder(<folder> <variable>) makes the stage folder of <folder> and
# sets <variable> to its path.
function(serivane_stage_folder folder out_var)
  set(stage "${PROJECT_BINARY_DIR}/include/${folder}")
  if(NOT IS_SYMLINK "${stage}/${folder}")
    file(MAKE_DIRECTORY "${stage}")
    file(CREATE_LINK "${PROJECT_SOURCE_DIR}/${folder}" "${stage}/${folder}" SYMBOLIC)
  endif()
  set(${out_var} "${stage}" PARENT_SCOPE)
endfunction()

# A library of the system built from every source file of its folder; a folder with no sources
# yet gives an interface target, so that later code can link it all the same. DEPS are the
# libraries its headers use (passed on to whoever links it), PRIVATE_DEPS those only its sources
# use.
function(serivane_add_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;PRIVATE_DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS
       "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp" "${CMAKE_CURRENT_SOURCE_DIR}/*.c")
  get_filename_component(folder "${CMAKE_CURRENT_SOURCE_DIR}" NAME)
  serivane_stage_folder(${folder} stage)
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC "${stage}")
    target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE "${stage}")
    target_link_libraries(${name} INTERFACE ${ARG_DEPS} ${ARG_PRIVATE_DEPS})
  endif()
endfunction()
