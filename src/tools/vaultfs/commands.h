// The commands of the vaultfs tool, one file per group of its help text.
// Each takes main's arguments (argv[1] is the command) and returns the exit
// status.
#pragma once

namespace vaultfs_tool {

// Containers (container_commands.cpp).
int CommandCreate(int argc, char** argv);
int CommandInfo(int argc, char** argv);
int CommandPasswd(int argc, char** argv);

// Maintenance (maintenance_commands.cpp).
int CommandFormat(int argc, char** argv);
int CommandCheck(int argc, char** argv, bool repair);
int CommandCompactOrResize(int argc, char** argv, bool resize);

// Files and directories (file_commands.cpp).
int CommandLs(int argc, char** argv);
int CommandMkdir(int argc, char** argv);
int CommandPut(int argc, char** argv);
int CommandGet(int argc, char** argv, bool toStdout);
int CommandRm(int argc, char** argv);
int CommandMv(int argc, char** argv);
int CommandLn(int argc, char** argv);
int CommandStat(int argc, char** argv);

// Folder trees (tree_commands.cpp).
int CommandTree(int argc, char** argv, bool toStorage);

// Mounts (mount_commands.cpp).
int CommandMount(int argc, char** argv);
int CommandUnmount(int argc, char** argv);

}  // namespace vaultfs_tool
