# Writes the ownership traits of every generated message type (cmake -P, at build time):
# -DOUT=<header> -DHEADERS=<generated .pb-c.h files separated by ;>
set(lines "// Generated from the protoc-c output at build time.\n#pragma once\n\n")
foreach(h ${HEADERS})
  get_filename_component(name ${h} NAME)
  string(APPEND lines "#include \"proto/${name}\"\n")
endforeach()
string(APPEND lines "#include \"proto/pb.h\"\n\n")
foreach(h ${HEADERS})
  file(READ ${h} text)
  string(REGEX MATCHALL "void +[a-z0-9_]+__init[ \n]+\\([A-Za-z0-9_]+ +\\*message\\)" inits "${text}")
  foreach(init ${inits})
    string(REGEX REPLACE "void +([a-z0-9_]+)__init[ \n]+\\(([A-Za-z0-9_]+) +\\*message\\)"
                         "ZC_PB_MESSAGE(\\2, \\1);\n" line "${init}")
    string(APPEND lines "${line}")
  endforeach()
endforeach()
file(WRITE ${OUT}.tmp "${lines}")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
