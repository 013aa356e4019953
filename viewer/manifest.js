// Reads an atlas's manifest (<name>_mip.json) for the viewer, every check in
// one place and before anything is uploaded or drawn. Declines, with a reason
// a user can read: text that is not JSON or not a manifest, an atlas container
// or pixel format a browser cannot show, and a manifest that does not fit the
// atlas it came with (another size, blocks missing, out of order, of the
// wrong size, outside the atlas or overlapping). A manifest is used whole or
// not at all; unknown keys are ignored.
(function (global) {
  "use strict";

  const EDGES = ["clamp", "wrap", "mirror"];  // the index is ripmap.glsl's ripmap_edge
  const MAX_LEVELS = 32;
  const MAX_PADDING = 64;

  class Decline extends Error {}

  function isCount(value, least, most) {
    return Number.isInteger(value) && value >= least && value <= most;
  }

  function need(condition, reason) {
    if (!condition) throw new Decline(reason);
  }

  function oneOf(record, key, choices, where) {
    const value = record[key];
    need(choices.includes(value),
         `${where}.${key} is ${JSON.stringify(value)}; the viewer knows ${choices.join(", ")}`);
    return value;
  }

  function halve(size, times) {
    for (let k = 0; k < times; ++k) size = Math.max(1, Math.floor(size / 2));
    return size;
  }

  // Sizes n, max(1, n / 2), ... down to 1: how many.
  function levelCount(size) {
    let count = 1;
    for (; size > 1; size = Math.floor(size / 2)) ++count;
    return count;
  }

  // The (across, down) that entry k must have: rip blocks go by down, then
  // across; mip levels sit on the diagonal.
  function expectedPlace(layout, k, across) {
    return layout === "rip" ? [k % across, Math.floor(k / across)] : [k, k];
  }

  function readAtlas(atlas) {
    need(atlas !== null && typeof atlas === "object", 'it has no "atlas" record');
    const where = "atlas";
    const layout = oneOf(atlas, "layout", ["rip", "mip"], where);
    const container = atlas.container;
    need(container === "png" || container === "bmp",
         `the manifest describes a ${String(container).toUpperCase()} atlas; the viewer shows PNG and BMP atlases`);
    oneOf(atlas, "pixel_format", ["rgb8", "rgba8"], where);
    const colour = oneOf(atlas, "colour_space", ["srgb", "linear"], where);
    const edge = oneOf(atlas, "edge", EDGES, where);
    need(isCount(atlas.width, 1, 1 << 20) && isCount(atlas.height, 1, 1 << 20),
         "atlas.width and atlas.height must be whole numbers of at least 1");
    need(isCount(atlas.padding, 0, MAX_PADDING), `atlas.padding must be 0 to ${MAX_PADDING}`);
    need(isCount(atlas.levels_across, 1, MAX_LEVELS) && isCount(atlas.levels_down, 1, MAX_LEVELS),
         `atlas.levels_across and atlas.levels_down must be 1 to ${MAX_LEVELS}`);
    need(layout === "rip" || atlas.levels_across === atlas.levels_down,
         "a mip atlas has as many levels across as down");
    return {
      layout, edge: EDGES.indexOf(edge), edgeName: edge, srgb: colour === "srgb",
      alpha: atlas.alpha === true, width: atlas.width, height: atlas.height, padding: atlas.padding,
      levelsAcross: atlas.levels_across, levelsDown: atlas.levels_down,
    };
  }

  function readBlocks(blocks, atlas) {
    const { layout, levelsAcross: across, levelsDown: down, padding: pad } = atlas;
    need(Array.isArray(blocks), 'it has no "blocks" list');
    const count = layout === "rip" ? across * down : across;
    need(blocks.length === count,
         layout === "rip" ? `it lists ${blocks.length} blocks; a rip grid of ${across} x ${down} has ${count}`
                          : `it lists ${blocks.length} blocks for ${count} mip levels`);
    const read = [];
    for (let k = 0; k < count; ++k) {
      const b = blocks[k];
      const [a, d] = expectedPlace(layout, k, across);
      need(b !== null && typeof b === "object" && b.across === a && b.down === d,
           `entry ${k + 1} of "blocks" should be block (${a}, ${d}); blocks go by down, then across`);
      const name = `block (${a}, ${d})`;
      need(isCount(b.x, 0, 1 << 24) && isCount(b.y, 0, 1 << 24) &&
           isCount(b.width, 1, 1 << 24) && isCount(b.height, 1, 1 << 24),
           `${name} needs whole numbers for x and y, and width and height of at least 1`);
      need(b.x - pad >= 0 && b.y - pad >= 0 && b.x + b.width + pad <= atlas.width &&
           b.y + b.height + pad <= atlas.height,
           `${name} at ${b.x}, ${b.y}, ${b.width} x ${b.height}` + (pad ? ` with padding ${pad}` : "") +
           ` reaches past the ${atlas.width} x ${atlas.height} atlas`);
      read.push({ across: a, down: d, x: b.x, y: b.y, width: b.width, height: b.height });
    }
    const [w0, h0] = [read[0].width, read[0].height];
    for (const b of read) {
      const w = halve(w0, b.across), h = halve(h0, b.down);
      need(b.width === w && b.height === h,
           `block (${b.across}, ${b.down}) is ${b.width} x ${b.height}; halving ${w0} x ${h0} gives ${w} x ${h} there`);
    }
    const wanted = layout === "rip" ? [levelCount(w0), levelCount(h0)]
                                    : Array(2).fill(Math.max(levelCount(w0), levelCount(h0)));
    need(across === wanted[0] && down === wanted[1],
         `${across} x ${down} levels do not fit ${w0} x ${h0}, which halves in ${wanted[0]} x ${wanted[1]}`);
    for (let i = 0; i < read.length; ++i) {
      for (let j = i + 1; j < read.length; ++j) {
        const p = read[i], q = read[j];
        const apart = p.x + p.width + pad <= q.x - pad || q.x + q.width + pad <= p.x - pad ||
                      p.y + p.height + pad <= q.y - pad || q.y + q.height + pad <= p.y - pad;
        need(apart, `blocks (${p.across}, ${p.down}) and (${q.across}, ${q.down}) overlap`);
      }
    }
    return read;
  }

  // The block table ripmap.glsl reads: texel (across, down) = x, y, width,
  // height. A mip atlas fills the diagonal; the other texels repeat the level
  // of the larger index so that no texel is an empty block.
  function blockTable(atlas, blocks) {
    const table = new Int32Array(atlas.levelsAcross * atlas.levelsDown * 4);
    for (let d = 0; d < atlas.levelsDown; ++d) {
      for (let a = 0; a < atlas.levelsAcross; ++a) {
        const b = atlas.layout === "rip" ? blocks[d * atlas.levelsAcross + a] : blocks[Math.max(a, d)];
        table.set([b.x, b.y, b.width, b.height], (d * atlas.levelsAcross + a) * 4);
      }
    }
    return table;
  }

  // {ok: true, atlas, blocks, table} or {ok: false, reason}.
  function readManifest(text, imageWidth, imageHeight, imageName) {
    try {
      let json;
      try {
        json = JSON.parse(text);
      } catch (e) {
        throw new Decline(`the manifest is not valid JSON (${e.message})`);
      }
      need(json !== null && typeof json === "object" && !Array.isArray(json),
           "the manifest is not a JSON object");
      const atlas = readAtlas(json.atlas);
      need(atlas.width === imageWidth && atlas.height === imageHeight,
           `the manifest describes a ${atlas.width} x ${atlas.height} atlas but ${imageName} is ` +
           `${imageWidth} x ${imageHeight}: is it the manifest of another texture?`);
      const blocks = readBlocks(json.blocks, atlas);
      return { ok: true, atlas, blocks, table: blockTable(atlas, blocks), source: json.source || null };
    } catch (e) {
      if (e instanceof Decline) return { ok: false, reason: e.message };
      throw e;
    }
  }

  global.OrvandelManifest = { readManifest, halve, EDGES };
})(window);
