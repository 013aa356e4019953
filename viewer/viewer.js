// The viewer's page: loads an atlas (PNG or BMP, decoded by the browser) and
// its manifest from the file picker, a drop, or the address
// (?atlas=PATH&manifest=PATH&tilt=..&rotation=..&distance=..&repeat=..&tint=1),
// draws the atlas with its blocks outlined, and a plane sampled with
// sampler/ripmap.glsl: the rip-map on the left half, the trilinear mip-map
// (the same function file, on the atlas's mip chain) on the right. Whatever
// fails is said in the message banner; the panels then say why they are
// empty instead of staying blank.
(function () {
  "use strict";

  const OUTLINE = "#ffd000";
  const PADDING_OUTLINE = "#00c8ff";
  const BACKGROUND = [16 / 255, 18 / 255, 20 / 255];
  const VIEW_KEYS = ["tilt", "rotation", "distance", "repeat"];

  const $ = (id) => document.getElementById(id);
  const state = {
    atlas: null,      // {name, image, width, height}
    manifest: null,   // {name, text}
    loadError: null,  // why the last file could not be read or decoded
    checked: null,    // OrvandelManifest.readManifest's result when it fits the atlas
    uploaded: null,   // the `checked` whose textures are on the GPU
    gpu: null,
    gpuError: null,
    drawQueued: false,
  };

  // ---- messages --------------------------------------------------------

  function say(text, kind) {
    const box = $("message");
    box.hidden = !text;
    box.textContent = text || "";
    box.className = text ? kind : "";
    document.title = text && kind === "error" ? "Orvandel atlas viewer: error" : "Orvandel atlas viewer";
  }

  // ---- reading files ---------------------------------------------------

  function baseName(path) {
    const parts = String(path).split(/[\\/]/);
    try {
      return decodeURIComponent(parts[parts.length - 1]);
    } catch (e) {
      return parts[parts.length - 1];
    }
  }

  // The bytes at a path relative to this page: {ok, bytes} or {ok: false,
  // reason}. Read synchronously while the page loads, and the atlas decoded
  // by an <img>, so that all of it is done before the page's load event and
  // a headless browser's screenshot or DOM dump shows the outcome.
  function readAddress(path) {
    const hint = window.location.protocol !== "file:" ? "" :
      ". From file://, Chromium reads files beside the page only when started with " +
      "--allow-file-access-from-files; or serve the folder (python3 -m http.server)";
    const failed = (why) => ({ ok: false, reason: `could not read ${path} (${why})${hint}.` });
    const request = new XMLHttpRequest();
    try {
      request.open("GET", path, false);
      request.overrideMimeType("text/plain; charset=x-user-defined");
      request.send();
    } catch (e) {
      return failed(e.message);
    }
    if (request.status !== 200 && request.status !== 0) return failed(`status ${request.status}`);
    const text = request.responseText;
    const bytes = new Uint8Array(text.length);
    for (let i = 0; i < text.length; ++i) bytes[i] = text.charCodeAt(i) & 0xff;
    return { ok: true, bytes };
  }

  function startsWith(bytes, prefix) {
    return prefix.every((b, i) => bytes[i] === b);
  }

  // The browser decodes both formats; the signature check gives a clearer
  // reason than the decoder's for a file that is no image at all. Resolves
  // to {ok, image} or {ok: false, reason}.
  function decodeAtlas(name, bytes) {
    const png = startsWith(bytes, [0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]);
    const bmp = startsWith(bytes, [0x42, 0x4d]);
    if (!png && !bmp) {
      return Promise.resolve({ ok: false, reason: `${name} is not an image: the viewer takes PNG and BMP atlases` });
    }
    return new Promise((resolve) => {
      const image = new Image();
      image.onload = () => resolve({ ok: true, image });
      image.onerror = () => {
        URL.revokeObjectURL(image.src);
        resolve({ ok: false, reason: `${name} starts as a ${png ? "PNG" : "BMP"} file but the browser cannot decode it` });
      };
      image.src = URL.createObjectURL(new Blob([bytes], { type: png ? "image/png" : "image/bmp" }));
    });
  }

  function decodeText(name, bytes) {
    try {
      return { ok: true, text: new TextDecoder("utf-8", { fatal: true }).decode(bytes) };
    } catch (e) {
      return { ok: false, reason: `${name} is not UTF-8 text, so it is no manifest` };
    }
  }

  function openAtlas(name, bytes) {
    return decodeAtlas(name, bytes).then((decoded) => {
      if (state.atlas) URL.revokeObjectURL(state.atlas.image.src);
      state.atlas = decoded.ok
        ? { name, image: decoded.image, width: decoded.image.naturalWidth, height: decoded.image.naturalHeight }
        : null;
      return decoded.ok ? null : decoded.reason;
    });
  }

  function openManifest(name, bytes) {
    const decoded = decodeText(name, bytes);
    state.manifest = decoded.ok ? { name, text: decoded.text } : null;
    return decoded.ok ? null : decoded.reason;
  }

  function isManifestName(file) {
    return /\.json$/i.test(file.name) || file.type === "application/json";
  }

  function finishOpening(errors) {
    state.loadError = errors.filter(Boolean).join("\n") || null;
    update();
  }

  async function openFiles(files) {
    const list = Array.from(files);
    const atlas = list.find((f) => !isManifestName(f));
    const manifest = list.find(isManifestName);
    const errors = [];
    if (atlas) errors.push(await openAtlas(atlas.name, new Uint8Array(await atlas.arrayBuffer())));
    if (manifest) errors.push(openManifest(manifest.name, new Uint8Array(await manifest.arrayBuffer())));
    finishOpening(errors);
  }

  function openAddress(params) {
    const errors = [];
    const manifestPath = params.get("manifest"), atlasPath = params.get("atlas");
    if (manifestPath) {
      const read = readAddress(manifestPath);
      errors.push(read.ok ? openManifest(baseName(manifestPath), read.bytes) : read.reason);
    }
    if (!atlasPath) {
      finishOpening(errors);
      return;
    }
    const read = readAddress(atlasPath);
    if (!read.ok) {
      finishOpening(errors.concat(read.reason));
      return;
    }
    openAtlas(baseName(atlasPath), read.bytes).then((error) => finishOpening(errors.concat(error)));
  }

  // ---- what is open, checked --------------------------------------------

  function atlasNamedIn(text) {
    try {
      const name = JSON.parse(text).atlas.file;
      return typeof name === "string" ? name : null;
    } catch (e) {
      return null;
    }
  }

  function update() {
    state.checked = null;
    const { atlas, manifest } = state;
    if (state.loadError) {
      say(state.loadError, "error");
    } else if (atlas && manifest) {
      const read = OrvandelManifest.readManifest(manifest.text, atlas.width, atlas.height, atlas.name);
      if (read.ok) {
        state.checked = read;
        say(state.gpuError, "error");
      } else {
        say(`${manifest.name} does not fit ${atlas.name}: ${read.reason}`, "error");
      }
    } else if (atlas) {
      say(`Now open the manifest of ${atlas.name} (its <name>_mip.json) to see its blocks and the plane.`, "info");
    } else if (manifest) {
      const named = atlasNamedIn(manifest.text);
      say(`Now open the atlas ${named ? named + ", " : ""}which ${manifest.name} describes.`, "info");
    } else {
      say(null);
    }
    $("status").textContent = describe();
    draw();
  }

  function describe() {
    const c = state.checked;
    if (!c) return state.atlas ? `${state.atlas.name}: ${state.atlas.width} x ${state.atlas.height}` : "";
    const a = c.atlas, b0 = c.blocks[0];
    return `${state.atlas.name}: ${a.layout} atlas ${a.width} x ${a.height}, ` +
           (a.layout === "rip" ? `${a.levelsAcross} x ${a.levelsDown} blocks` : `${a.levelsAcross} levels`) +
           `, level 0 ${b0.width} x ${b0.height}, padding ${a.padding}, edge ${a.edgeName}, ` +
           (a.srgb ? "sRGB" : "linear") + (a.alpha ? ", alpha" : "");
  }

  // ---- the view's settings ----------------------------------------------

  function view() {
    const v = {};
    for (const key of VIEW_KEYS) v[key] = Number($(key).value);
    v.tint = $("tint").checked;
    return v;
  }

  function showSettings() {
    for (const key of VIEW_KEYS) document.querySelector(`output[for=${key}]`).textContent = $(key).value;
  }

  // Numbers outside a slider's range are clamped to it by the slider itself.
  function settingsFromAddress(params) {
    for (const key of VIEW_KEYS) {
      const value = Number(params.get(key));
      if (params.has(key) && Number.isFinite(value)) $(key).value = String(value);
    }
    if (params.has("tint")) $("tint").checked = params.get("tint") === "1";
  }

  // ---- the tint of each block, the same in the atlas view and the shader

  // Hue steps of 0.17 across and 0.255 down, odd rows darker: blocks up to
  // two steps apart, and the mip chain's (k, k) up to five apart, never
  // share a colour.
  function blockTint(across, down) {
    const h = (across * 0.17 + down * 0.255) % 1;
    const v = down % 2 ? 0.7 : 1;
    const channel = (n) => {
      const k = (n + h * 6) % 6;
      return v * (1 - 0.8 * Math.max(0, Math.min(k, 4 - k, 1)));
    };
    return [channel(5), channel(3), channel(1)];
  }

  const TINT_GLSL = `
vec3 block_tint(ivec2 b) {
    float h = fract(float(b.x) * 0.17 + float(b.y) * 0.255);
    float v = b.y % 2 == 1 ? 0.7 : 1.0;
    vec3 k = mod(vec3(5.0, 3.0, 1.0) + h * 6.0, 6.0);
    return v * (1.0 - 0.8 * clamp(min(k, 4.0 - k), 0.0, 1.0));
}`;

  // ---- the atlas panel --------------------------------------------------

  function fitCanvas(canvas) {
    const ratio = window.devicePixelRatio || 1;
    const width = Math.max(1, Math.round(canvas.clientWidth * ratio));
    const height = Math.max(1, Math.round(canvas.clientHeight * ratio));
    if (canvas.width !== width || canvas.height !== height) {
      canvas.width = width;
      canvas.height = height;
    }
    return ratio;
  }

  function drawAtlasView() {
    const canvas = $("atlas-view");
    const ratio = fitCanvas(canvas);
    const g = canvas.getContext("2d");
    g.clearRect(0, 0, canvas.width, canvas.height);
    const placeholder = $("atlas-placeholder");
    placeholder.hidden = !!state.atlas;
    if (!state.atlas) {
      if (state.loadError) placeholder.textContent = "Nothing to show: the message above says why.";
      return;
    }
    const shown = state.atlas;
    const top = Math.round(32 * ratio), margin = Math.round(8 * ratio);
    const fit = Math.min((canvas.width - 2 * margin) / shown.width, (canvas.height - top - margin) / shown.height);
    // Whole screen pixels per texel when enlarging, so every texel looks alike.
    const scale = fit >= 2 ? Math.floor(fit) : fit;
    const left = Math.round((canvas.width - shown.width * scale) / 2);
    const upper = Math.round(top + (canvas.height - top - margin - shown.height * scale) / 2);
    g.imageSmoothingEnabled = scale < 1;
    g.drawImage(shown.image, left, upper, shown.width * scale, shown.height * scale);
    if (!state.checked) return;
    const { atlas, blocks } = state.checked;
    const at = (x, y) => [left + Math.round(x * scale), upper + Math.round(y * scale)];
    const tint = view().tint;
    g.font = `${Math.round(11 * ratio)}px ui-monospace, monospace`;
    for (const b of blocks) {
      const [x0, y0] = at(b.x, b.y);
      const [x1, y1] = at(b.x + b.width, b.y + b.height);
      if (tint) {
        const [r, gr, bl] = blockTint(b.across, b.down).map((c) => Math.round(c * 255));
        g.fillStyle = `rgba(${r}, ${gr}, ${bl}, 0.55)`;
        g.fillRect(x0, y0, x1 - x0, y1 - y0);
      }
      if (atlas.padding > 0) {
        const [p0, q0] = at(b.x - atlas.padding, b.y - atlas.padding);
        const [p1, q1] = at(b.x + b.width + atlas.padding, b.y + b.height + atlas.padding);
        g.setLineDash([3 * ratio, 3 * ratio]);
        g.strokeStyle = PADDING_OUTLINE;
        g.lineWidth = 1;
        g.strokeRect(p0 + 0.5, q0 + 0.5, Math.max(0, p1 - p0 - 1), Math.max(0, q1 - q0 - 1));
        g.setLineDash([]);
      }
      // The outline lies on the block's own outermost screen pixels.
      g.strokeStyle = OUTLINE;
      g.lineWidth = 1;
      if (x1 - x0 >= 2 && y1 - y0 >= 2) g.strokeRect(x0 + 0.5, y0 + 0.5, x1 - x0 - 1, y1 - y0 - 1);
      else { g.fillStyle = OUTLINE; g.fillRect(x0, y0, Math.max(1, x1 - x0), Math.max(1, y1 - y0)); }
      const label = atlas.layout === "rip" ? `${b.across},${b.down}` : `${b.across}`;
      if (x1 - x0 >= g.measureText(label).width + 8 * ratio && y1 - y0 >= 18 * ratio) {
        g.lineWidth = 3 * ratio;
        g.strokeStyle = "rgba(0, 0, 0, 0.85)";
        g.strokeText(label, x0 + 4 * ratio, y0 + 13 * ratio);
        g.fillStyle = "#ffffff";
        g.fillText(label, x0 + 4 * ratio, y0 + 13 * ratio);
      }
    }
  }

  // ---- the plane panel --------------------------------------------------

  const VERTEX_SHADER = `#version 300 es
uniform mat4 u_matrix;
uniform vec2 u_half_size;
uniform float u_repeat;
in vec2 a_corner;
out vec2 v_uv;
void main() {
    v_uv = a_corner * u_repeat;
    vec2 p = (a_corner - 0.5) * 2.0 * u_half_size * vec2(1.0, -1.0);
    gl_Position = u_matrix * vec4(p, 0.0, 1.0);
}`;

  function fragmentShader() {
    return `#version 300 es
precision highp float;
precision highp int;
${window.ORVANDEL_RIPMAP_GLSL}
${TINT_GLSL}
uniform int u_mode;  // 0: rip-map, 1: mip-map
uniform bool u_tint;
uniform bool u_srgb;
uniform vec3 u_background;
in vec2 v_uv;
out vec4 colour;

vec3 encode_srgb(vec3 c) {
    c = clamp(c, 0.0, 1.0);
    return mix(c * 12.92, 1.055 * pow(c, vec3(1.0 / 2.4)) - 0.055, step(vec3(0.0031308), c));
}

void main() {
    vec2 uv_dx = dFdx(v_uv), uv_dy = dFdy(v_uv);
    vec4 c;
    ivec2 read;
    if (u_mode == 0) {
        c = ripmap_sample(v_uv, uv_dx, uv_dy);
        read = ivec2(floor(ripmap_level(uv_dx, uv_dy) + 0.5));
    } else {
        c = mipmap_sample(v_uv, uv_dx, uv_dy);
        read = mipmap_block(int(floor(mipmap_level(uv_dx, uv_dy) + 0.5)));
    }
    vec3 rgb = u_srgb ? encode_srgb(c.rgb) : clamp(c.rgb, 0.0, 1.0);
    rgb = mix(u_background, rgb, c.a);
    if (u_tint) rgb = mix(rgb, block_tint(read), 0.5);
    colour = vec4(rgb, 1.0);
}`;
  }

  function compile(gl, kind, text) {
    const shader = gl.createShader(kind);
    gl.shaderSource(shader, text);
    gl.compileShader(shader);
    if (!gl.getShaderParameter(shader, gl.COMPILE_STATUS)) {
      throw new Error(`the ${kind === gl.VERTEX_SHADER ? "vertex" : "fragment"} shader does not compile: ` +
                      gl.getShaderInfoLog(shader));
    }
    return shader;
  }

  function startGpu() {
    const gl = $("plane-view").getContext("webgl2", { antialias: false, preserveDrawingBuffer: true });
    if (!gl) throw new Error("this browser offers no WebGL2, so the plane cannot be drawn (the atlas view still works)");
    if (typeof window.ORVANDEL_RIPMAP_GLSL !== "string") throw new Error("ripmap.glsl.js is missing beside index.html");
    const program = gl.createProgram();
    gl.attachShader(program, compile(gl, gl.VERTEX_SHADER, VERTEX_SHADER));
    gl.attachShader(program, compile(gl, gl.FRAGMENT_SHADER, fragmentShader()));
    gl.linkProgram(program);
    if (!gl.getProgramParameter(program, gl.LINK_STATUS)) {
      throw new Error("the plane's shaders do not link: " + gl.getProgramInfoLog(program));
    }
    const uniforms = {};
    const count = gl.getProgramParameter(program, gl.ACTIVE_UNIFORMS);
    for (let i = 0; i < count; ++i) {
      const name = gl.getActiveUniform(program, i).name;
      uniforms[name] = gl.getUniformLocation(program, name);
    }
    const vao = gl.createVertexArray();
    gl.bindVertexArray(vao);
    gl.bindBuffer(gl.ARRAY_BUFFER, gl.createBuffer());
    gl.bufferData(gl.ARRAY_BUFFER, new Float32Array([0, 0, 1, 0, 0, 1, 1, 1]), gl.STATIC_DRAW);
    const corner = gl.getAttribLocation(program, "a_corner");
    gl.enableVertexAttribArray(corner);
    gl.vertexAttribPointer(corner, 2, gl.FLOAT, false, 0, 0);
    return { gl, program, uniforms, vao, atlasTexture: gl.createTexture(), blockTexture: gl.createTexture() };
  }

  function nearest(gl) {
    for (const [key, value] of [[gl.TEXTURE_MIN_FILTER, gl.NEAREST], [gl.TEXTURE_MAG_FILTER, gl.NEAREST],
                                [gl.TEXTURE_WRAP_S, gl.CLAMP_TO_EDGE], [gl.TEXTURE_WRAP_T, gl.CLAMP_TO_EDGE]]) {
      gl.texParameteri(gl.TEXTURE_2D, key, value);
    }
  }

  // The atlas top row first (no flip), bytes as stored: ripmap.glsl fetches
  // texels by their atlas position and does its own filtering.
  function upload(gpu, checked, opened) {
    const gl = gpu.gl, atlas = checked.atlas;
    const most = gl.getParameter(gl.MAX_TEXTURE_SIZE);
    if (opened.width > most || opened.height > most) {
      throw new Error(`the atlas is ${opened.width} x ${opened.height}; this browser's WebGL takes at most ${most} a side`);
    }
    gl.activeTexture(gl.TEXTURE0);
    gl.bindTexture(gl.TEXTURE_2D, gpu.atlasTexture);
    gl.pixelStorei(gl.UNPACK_FLIP_Y_WEBGL, false);
    gl.pixelStorei(gl.UNPACK_PREMULTIPLY_ALPHA_WEBGL, false);
    gl.pixelStorei(gl.UNPACK_COLORSPACE_CONVERSION_WEBGL, gl.NONE);
    gl.texImage2D(gl.TEXTURE_2D, 0, atlas.srgb ? gl.SRGB8_ALPHA8 : gl.RGBA8, gl.RGBA, gl.UNSIGNED_BYTE, opened.image);
    nearest(gl);
    gl.activeTexture(gl.TEXTURE1);
    gl.bindTexture(gl.TEXTURE_2D, gpu.blockTexture);
    gl.pixelStorei(gl.UNPACK_ALIGNMENT, 1);
    gl.texImage2D(gl.TEXTURE_2D, 0, gl.RGBA32I, atlas.levelsAcross, atlas.levelsDown, 0, gl.RGBA_INTEGER, gl.INT,
                  checked.table);
    nearest(gl);
    const error = gl.getError();
    if (error !== gl.NO_ERROR) throw new Error(`WebGL could not take the atlas (error 0x${error.toString(16)})`);
  }

  // Column-major 4 x 4 matrices.
  function multiply(a, b) {
    const out = new Float32Array(16);
    for (let c = 0; c < 4; ++c) {
      for (let r = 0; r < 4; ++r) {
        let sum = 0;
        for (let k = 0; k < 4; ++k) sum += a[k * 4 + r] * b[c * 4 + k];
        out[c * 4 + r] = sum;
      }
    }
    return out;
  }

  // 40 degrees across the narrower side of the viewport.
  function planeMatrix(v, ratio) {
    const f = 1 / Math.tan((40 * Math.PI / 180) / 2);
    const sx = ratio >= 1 ? f / ratio : f, sy = ratio >= 1 ? f : f * ratio;
    const near = 0.02, far = 100;
    const projection = [sx, 0, 0, 0, 0, sy, 0, 0, 0, 0, (far + near) / (near - far), -1,
                        0, 0, 2 * far * near / (near - far), 0];
    const back = [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, -v.distance, 1];
    // The top edge leans away from the viewer by the tilt.
    const t = -v.tilt * Math.PI / 180, ct = Math.cos(t), st = Math.sin(t);
    const tilt = [1, 0, 0, 0, 0, ct, st, 0, 0, -st, ct, 0, 0, 0, 0, 1];
    const r = v.rotation * Math.PI / 180, cr = Math.cos(r), sr = Math.sin(r);
    const spin = [cr, sr, 0, 0, -sr, cr, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1];
    return multiply(projection, multiply(back, multiply(tilt, spin)));
  }

  function drawPlane() {
    const canvas = $("plane-view");
    fitCanvas(canvas);
    const placeholder = $("plane-placeholder");
    const checked = state.checked;
    $("rip-caption").textContent = checked && checked.atlas.layout === "mip"
      ? "Rip-map: a mip atlas has none (mip-map shown)" : "Rip-map";
    if (!state.gpu && !state.gpuError) {
      try {
        state.gpu = startGpu();
      } catch (e) {
        state.gpuError = e.message;
        say(e.message, "error");
      }
    }
    const gpu = state.gpu;
    if (gpu) {
      gpu.gl.clearColor(BACKGROUND[0], BACKGROUND[1], BACKGROUND[2], 1);
      gpu.gl.clear(gpu.gl.COLOR_BUFFER_BIT);
    }
    if (gpu && checked && state.uploaded !== checked) {
      try {
        upload(gpu, checked, state.atlas);
        state.uploaded = checked;
      } catch (e) {
        state.checked = null;
        say(e.message, "error");
      }
    }
    const drawn = !!(gpu && state.checked);
    placeholder.hidden = drawn;
    if (!drawn) {
      if (state.gpuError) placeholder.textContent = "No plane: " + state.gpuError;
      else if ($("message").className === "error") placeholder.textContent = "No plane to draw: the message above says why.";
      return;
    }
    const gl = gpu.gl, u = gpu.uniforms, v = view(), atlas = checked.atlas, b0 = checked.blocks[0];
    gl.useProgram(gpu.program);
    gl.bindVertexArray(gpu.vao);
    gl.uniform1i(u.ripmap_atlas, 0);
    gl.uniform1i(u.ripmap_blocks, 1);
    gl.uniform2i(u.ripmap_levels, atlas.levelsAcross, atlas.levelsDown);
    gl.uniform1i(u.ripmap_padding, atlas.padding);
    gl.uniform1i(u.ripmap_edge, atlas.edge);
    gl.uniform1i(u.u_tint, v.tint ? 1 : 0);
    gl.uniform1i(u.u_srgb, atlas.srgb ? 1 : 0);
    gl.uniform3fv(u.u_background, BACKGROUND);
    gl.uniform1f(u.u_repeat, v.repeat);
    const shape = b0.width / b0.height;
    gl.uniform2f(u.u_half_size, shape >= 1 ? 1 : shape, shape >= 1 ? 1 / shape : 1);
    const half = Math.floor(canvas.width / 2);
    const matrix = planeMatrix(v, half / canvas.height);
    gl.uniformMatrix4fv(u.u_matrix, false, matrix);
    for (const [mode, x] of [[0, 0], [1, canvas.width - half]]) {
      gl.viewport(x, 0, half, canvas.height);
      gl.uniform1i(u.u_mode, atlas.layout === "mip" ? 1 : mode);
      gl.drawArrays(gl.TRIANGLE_STRIP, 0, 4);
    }
    gl.enable(gl.SCISSOR_TEST);
    gl.scissor(half - 1, 0, canvas.width - 2 * half + 2, canvas.height);
    gl.clearColor(0.2, 0.23, 0.26, 1);
    gl.clear(gl.COLOR_BUFFER_BIT);
    gl.disable(gl.SCISSOR_TEST);
  }

  function draw() {
    state.drawQueued = false;
    showSettings();
    drawAtlasView();
    drawPlane();
  }

  function queueDraw() {
    if (state.drawQueued) return;
    state.drawQueued = true;
    requestAnimationFrame(draw);
  }

  // ---- wiring -----------------------------------------------------------

  function start() {
    const params = new URLSearchParams(window.location.search);
    settingsFromAddress(params);
    for (const key of VIEW_KEYS) $(key).addEventListener("input", queueDraw);
    $("tint").addEventListener("change", queueDraw);
    $("files").addEventListener("change", (e) => openFiles(e.target.files));
    document.addEventListener("dragover", (e) => {
      e.preventDefault();
      document.body.classList.add("dragging");
    });
    document.addEventListener("dragleave", (e) => {
      if (e.relatedTarget === null) document.body.classList.remove("dragging");
    });
    document.addEventListener("drop", (e) => {
      e.preventDefault();
      document.body.classList.remove("dragging");
      if (e.dataTransfer && e.dataTransfer.files.length) openFiles(e.dataTransfer.files);
    });
    // Drawn at once: the observer runs after layout and before paint, so a
    // resized canvas never shows its old drawing stretched.
    new ResizeObserver(draw).observe(document.querySelector("main"));
    if (params.has("atlas") || params.has("manifest")) openAddress(params);
    else update();
  }

  start();
})();
