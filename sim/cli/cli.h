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
int CmdWifi(const Args& args);
int CmdRadio(const Args& args);
int CmdWan(const Args& args);
int CmdHost(const Args& args);
int CmdScan(const Args& args);
int CmdAcs(const Args& args);
int CmdSta(const Args& args);
int CmdAp(const Args& args);
int CmdTraffic(const Args& args);
int CmdPon(const Args& args);
int CmdSys(const Args& args);
int CmdClient(const Args& args);
int CmdNeigh(const Args& args);
int CmdPort(const Args& args);
int CmdMkimage(const Args& args);
int CmdSyslog(const Args& args);
int CmdLab(const Args& args);
int CmdLauncher(const Args& args);
int CmdWorld(const Args& args);
int CmdPoke(const Args& args);

// Lab helpers: whether the lab runs, a command in the router's network namespace (directly when
// already there, else through the lab's world), a command in the world, a client's namespace.
bool LabUp();
int RouterNetCommand(const Args& argv);
int WorldCommand(const Args& argv);
int LabAddClient(const std::string& name);

// Writes the launcher and platform files of a boot; files marked "kept" are written only when
// absent.
void LayDownBootFiles();
// Makes the lab certificate authority ($ROOT/sim/state/ca/ca.{key,crt}); false on failure.
bool MakeLabCa(std::string* pem);

}  // namespace zsim
