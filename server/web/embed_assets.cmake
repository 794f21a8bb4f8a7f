# Build step: turns the files listed in assets/manifest.txt into web_assets.cpp, byte arrays the server serves.
# cmake -DASSET_DIR=<assets folder> -DOUTPUT=<web_assets.cpp> -P embed_assets.cmake
file(STRINGS "${ASSET_DIR}/manifest.txt" lines)
set(body "")
set(table "")
set(index 0)
foreach(line IN LISTS lines)
  if(line MATCHES "^#" OR line STREQUAL "")
    continue()
  endif()
  separate_arguments(parts UNIX_COMMAND "${line}")
  list(GET parts 0 url)
  list(GET parts 1 type)
  list(GET parts 2 name)
  file(READ "${ASSET_DIR}/${name}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){24})" "\\1\n" bytes "${bytes}")
  string(APPEND body "// ${name}\nconst unsigned char kAsset${index}[] = {\n${bytes}\n};\n\n")
  string(APPEND table "    {\"${url}\", \"${type}\", kAsset${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.tmp"
  "// Generated from server/web/assets by embed_assets.cmake: the dashboard's files as byte arrays.\n"
  "#include \"web_assets.h\"\n\nnamespace {\n\n${body}const WebAsset kAll[] = {\n${table}};\n\n}  // namespace\n\n"
  "const std::span<const WebAsset> kWebAssets(kAll);\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
