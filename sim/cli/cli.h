// The zunsim command line for tests and the demo.
#pragma once

#include "applets/applets.h"

namespace zsim {

int CliMain(const Args& args);

int CmdInit(const Args& args);
int CmdShow(const Args& args);
int CmdFlash(const Args& args);
int CmdNv(const Args& args);
int CmdNetnsExec(const Args& args);
int CmdNetnsInner(const Args& args);
int CmdKnob(const Args& args);
int CmdFail(const Args& args);

// Writes the launcher and platform files of a boot; files marked "kept" are written only when
// absent.
void LayDownBootFiles();
// Makes the lab certificate authority ($ROOT/sim/state/ca/ca.{key,crt}); false on failure.
bool MakeLabCa(std::string* pem);

}  // namespace zsim
