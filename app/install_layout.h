#pragma once
// Where the programs find what they need besides the working directory: the generated
// assets and the import helper, beside the executable in the build tree and in an
// installed tree (DIR/bin for the programs, DIR/share/vyx for the assets,
// DIR/libexec/vyx for the helper).

#include <string>

// The folder of the running executable with a final "/", or "" when the system does not
// say. Any thread.
std::string vyxExecutableFolder();

// The folder of the scene assets, with a final "/": "./" when the working directory holds
// them (it has venus.obj), else vyxFindAssetsBesideProgram(), else "./" (every asset is
// then reported missing by name). Any thread.
std::string vyxFindAssetFolder();

// The first of EXE/assets/ and EXE/../share/vyx/ (EXE the executable's folder) that holds
// the scene assets, with a final "/"; "" when neither does. Any thread.
std::string vyxFindAssetsBesideProgram();

// The vyx-import beside the running executable, in the folder above it (the build tree
// keeps the tools and tests one folder below the programs) or in ../libexec/vyx from it
// (installed); "" when none has one.
std::string vyxFindImportHelper();
