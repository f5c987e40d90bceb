#!/bin/sh
# Runs a Linux arm64 program under qemu-aarch64 (user mode) with the cross
# toolchain's libraries. QEMU_CPU, when set, picks the emulated processor
# (max: SHA-1 and SHA-512 instructions; cortex-a53: SHA-1 only).
: "${QEMU_LD_PREFIX:=/usr/aarch64-linux-gnu}"
export QEMU_LD_PREFIX
exec qemu-aarch64 "$@"
