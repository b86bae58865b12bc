# Build paths stay out of what the compiler writes: __FILE__ and the debug information name
# files relative to the source or build folder, so the same source built in two folders gives
# the same programs, and the package built from them the same bytes. The build folder comes
# last because the compiler tries the last mapping first, and a build folder may lie inside
# the source folder.
add_compile_options("-ffile-prefix-map=${PROJECT_SOURCE_DIR}=."
                    "-ffile-prefix-map=${PROJECT_BINARY_DIR}=.")
