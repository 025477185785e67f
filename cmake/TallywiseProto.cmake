# nanopb code generation at build time. The .proto schemas live in the source tree; the
# generated .pb.c/.pb.h go to ${PROJECT_BINARY_DIR}/generated/<folder>/ (already on every
# module's include path) and are never committed.
find_program(TW_PROTOC protoc REQUIRED)
find_program(TW_PROTOC_GEN_NANOPB protoc-gen-nanopb REQUIRED)

# tw_proto_generate(target FOLDER measurement/proto PROTOS A.proto B.proto)
# A sibling A.options, when present, holds the nanopb options of A.proto.
function(tw_proto_generate target)
  cmake_parse_arguments(P "" "FOLDER" "PROTOS" ${ARGN})
  set(src_dir ${PROJECT_SOURCE_DIR}/${P_FOLDER})
  set(out_dir ${PROJECT_BINARY_DIR}/generated/${P_FOLDER})
  file(MAKE_DIRECTORY ${out_dir})
  set(generated)
  foreach(proto IN LISTS P_PROTOS)
    get_filename_component(stem ${proto} NAME_WE)
    set(deps ${src_dir}/${proto})
    set(opts)
    if(EXISTS ${src_dir}/${stem}.options)
      list(APPEND deps ${src_dir}/${stem}.options)
      set(opts "--nanopb_opt=-f${src_dir}/${stem}.options")
    endif()
    add_custom_command(
      OUTPUT ${out_dir}/${stem}.pb.c ${out_dir}/${stem}.pb.h
      COMMAND ${TW_PROTOC} --plugin=protoc-gen-nanopb=${TW_PROTOC_GEN_NANOPB} -I${src_dir}
              ${opts} --nanopb_out=${out_dir} ${src_dir}/${proto}
      DEPENDS ${deps}
      COMMENT "nanopb: ${P_FOLDER}/${proto}"
      VERBATIM)
    list(APPEND generated ${out_dir}/${stem}.pb.c ${out_dir}/${stem}.pb.h)
  endforeach()
  target_sources(${target} PRIVATE ${generated})
endfunction()
