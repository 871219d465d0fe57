# vk_embed_files(<target> <namespace> <source dir> <files>...)
# Compiles the files (paths relative to <source dir>) into <target> as a table
#   namespace <namespace> { extern const EmbeddedFile kEmbeddedFiles[]; extern const std::size_t
#   kEmbeddedFileCount; }
# with struct EmbeddedFile { const char* name; const unsigned char* data; std::size_t size; }
# declared in "<target>EmbeddedFiles.h" in the binary directory. The table is regenerated when a
# file changes; nothing is fetched or installed at build time.
function(vk_embed_files target namespace dir)
  set(inputs "")
  foreach(f IN LISTS ARGN)
    list(APPEND inputs ${dir}/${f})
  endforeach()
  set(out_dir ${CMAKE_CURRENT_BINARY_DIR}/embedded)
  set(header ${out_dir}/${target}EmbeddedFiles.h)
  set(source ${out_dir}/${target}EmbeddedFiles.cpp)
  string(REPLACE ";" "|" names "${ARGN}")
  add_custom_command(
    OUTPUT ${header} ${source}
    COMMAND ${CMAKE_COMMAND} -DNAMESPACE=${namespace} -DDIR=${dir} "-DNAMES=${names}"
            -DHEADER=${header} -DSOURCE=${source} -P ${PROJECT_SOURCE_DIR}/cmake/VornKitEmbedWrite.cmake
    DEPENDS ${inputs} ${PROJECT_SOURCE_DIR}/cmake/VornKitEmbedWrite.cmake
    COMMENT "Embedding ${target} files"
    VERBATIM)
  target_sources(${target} PRIVATE ${source} ${header})
  target_include_directories(${target} PRIVATE ${out_dir})
endfunction()
