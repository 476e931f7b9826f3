#!/usr/bin/env bash
# Makes the OBJ models the import and export benchmarks read, into a cache
# folder kept between runs (never into the repository):
#   building-N/building.obj   the project's generated building of N triangles
#   blender-N/building.obj    the same building as Blender 3.4 writes OBJ
#                             (objects, smoothing groups, v/vt/vn faces and
#                             v//vn where an object has no coordinates)
#   assimp-N/building.obj     the same building as assimp's exporter writes it
#   furniture/lib/...         a public furniture library's OBJ models
#                             (Debian's sweethome3d-furniture, unpacked)
# Blender and the furniture package come from Debian's archive; Blender is
# installed when missing (as root), the furniture package is only
# downloaded and unpacked here.
#
#   bench/obj-models.sh [TRIANGLES...]     (default: 1500000 10000000)
# Environment: CORV_BENCH_CACHE (default ~/.cache/corvanta-bench),
# CORV_BUILD (default build/default). Prints the folder of each model.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cache="${CORV_BENCH_CACHE:-$HOME/.cache/corvanta-bench}"
build="${CORV_BUILD:-$here/build/default}"
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(1500000 10000000)
mkdir -p "$cache"

gen="$build/bench/building_gen"
[ -x "$gen" ] || { echo "obj-models.sh: build building_gen first (cmake --build $build --target building_gen)" >&2; exit 1; }

if ! command -v blender > /dev/null; then
  echo "obj-models.sh: installing Blender from Debian's archive" >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends blender > /dev/null
fi

for n in "${sizes[@]}"; do
  own="$cache/building-$n/building.obj"
  if [ ! -f "$own.done" ]; then
    "$gen" --triangles "$n" --out "$own" >&2
    touch "$own.done"
  fi
  echo "$own"

  # A model counts as made when its ".done" mark is there.
  other="$cache/blender-$n/building.obj"
  if [ ! -f "$other.done" ]; then
    mkdir -p "$(dirname "$other")"
    # Blender's own OBJ importer and exporter, without a window; the
    # exporter writes materials, normals, coordinates and smoothing groups.
    blender --background --factory-startup --python-expr "
import bpy
bpy.ops.wm.read_factory_settings(use_empty=True)
bpy.ops.wm.obj_import(filepath='$own')
bpy.ops.wm.obj_export(filepath='$other', export_materials=True, export_normals=True, export_uv=True,
                      export_smooth_groups=True, path_mode='COPY')
" > "$cache/blender-$n/blender.log" 2>&1 || { echo "obj-models.sh: Blender failed, see $cache/blender-$n/blender.log" >&2; exit 1; }
    cp -n "$(dirname "$own")"/*.png "$(dirname "$own")"/*.jpg "$(dirname "$other")"/ 2> /dev/null || true
    touch "$other.done"
  fi
  echo "$other"

  viaAssimp="$cache/assimp-$n/building.obj"
  if [ ! -f "$viaAssimp.done" ]; then
    mkdir -p "$(dirname "$viaAssimp")"
    assimp export "$own" "$viaAssimp" > "$cache/assimp-$n/assimp.log" 2>&1 ||
      { echo "obj-models.sh: assimp's exporter failed, see $cache/assimp-$n/assimp.log" >&2; exit 1; }
    cp -n "$(dirname "$own")"/*.png "$(dirname "$own")"/*.jpg "$(dirname "$viaAssimp")"/ 2> /dev/null || true
    touch "$viaAssimp.done"
  fi
  echo "$viaAssimp"
done

lib="$cache/furniture/lib"
if [ ! -d "$lib" ]; then
  mkdir -p "$cache/furniture"
  (cd "$cache/furniture" && apt-get download sweethome3d-furniture > /dev/null 2>&1)
  deb="$(ls "$cache"/furniture/sweethome3d-furniture_*.deb | head -1)"
  dpkg-deb -x "$deb" "$cache/furniture/deb"
  for f in "$cache"/furniture/deb/usr/share/sweethome3d/furniture/*.sh3f; do
    mkdir -p "$lib/$(basename "$f" .sh3f)"
    (cd "$lib/$(basename "$f" .sh3f)" && unzip -q -o "$f")
  done
fi
echo "$lib"
