#!/usr/bin/env python3
"""Builds a system tree with file-backed USB sticks, as the Linux backend reads it (sysfs, dev
nodes, mount table, swaps), for flashing through --device and the real preparation.

usage: fake_sticks.py ROOT COUNT NODE_BYTES [loop]
Prints the stick nodes, one per line. With "loop" (root only), each node is a symlink to a loop
device over its file, so that the stick is a real block device of its own: a bandwidth limit per
stick (blkio throttling) then works as a real stick's own speed would.
"""
import os
import subprocess
import sys

root, count, node_bytes = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
use_loop = len(sys.argv) > 4 and sys.argv[4] == "loop"
os.makedirs(os.path.join(root, "sys", "block"), exist_ok=True)
os.makedirs(os.path.join(root, "dev"), exist_ok=True)
with open(os.path.join(root, "mountinfo"), "w") as table:
    table.write("1 0 0:1 / /proc rw - proc proc rw\n")
with open(os.path.join(root, "swaps"), "w") as swaps:
    swaps.write("Filename\tType\tSize\tUsed\tPriority\n")


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text + "\n")


for i in range(count):
    name = "sd" + chr(ord("b") + i)
    device = "devices/pci0000:00/0000:00:14.0/usb2/2-%d/2-%d:1.0/host%d/target%d:0:0/%d:0:0:0/%s-parent" % (
        i + 1, i + 1, 6 + i, 6 + i, 6 + i, name)
    disk = os.path.join(root, "sys", device, "block", name)
    node = os.path.join(root, "dev", name)
    numbers = "8:%d" % (16 * (i + 1))
    if use_loop:
        backing = os.path.join(root, name + ".img")
        with open(backing, "wb") as f:
            f.truncate(node_bytes)
        loop = subprocess.run(["losetup", "--find", "--show", backing], check=True, capture_output=True,
                              text=True).stdout.strip()
        os.symlink(loop, node)
        rdev = os.stat(loop).st_rdev
        numbers = "%d:%d" % (os.major(rdev), os.minor(rdev))
    write(os.path.join(disk, "dev"), numbers)
    write(os.path.join(disk, "size"), str(8000000))  # 4.096 GB as the kernel would say; the node is smaller
    write(os.path.join(disk, "ro"), "0")
    write(os.path.join(disk, "queue", "logical_block_size"), "512")
    write(os.path.join(root, "sys", device, "vendor"), "Bench   ")
    write(os.path.join(root, "sys", device, "model"), "Stick %d" % i)
    os.symlink("../..", os.path.join(disk, "device"))
    os.symlink("../" + device + "/block/" + name, os.path.join(root, "sys", "block", name))
    if not use_loop:
        with open(node, "wb") as f:
            f.truncate(node_bytes)
    print(node)
