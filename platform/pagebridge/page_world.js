// The page world of the application's frames: run by the page bridge's extension in each frame
// whose document is one of the application's, before any script of the document, and called with
// the native entry object:
//   exec(callbackId, service, action, argumentsJSON, heldIndex, heldSize, unwritable)
//   console(operation, text), error(sourceURL, line, message)
//   allocate(size, likely)   an array buffer for bytes of the call about to be made
//   release(buffer)          the bytes handed to the results function are made into the message
//   bulk, bulkBytes          where a call's argument may carry bytes, and from how many
//   resultsFunction          the name under which results are handed over
//   publishConsole           whether window.console is the program's
// It defines window.webhostbridge, window.WebhostBridgeUtil, the results function and, where
// asked, window.console; the page library's entry points are all it calls.
(function(native){
'use strict';
var nativeExec = native.exec, nativeConsole = native.console, nativeError = native.error;
var nativeAllocate = native.allocate, nativeRelease = native.release, bulkSlots = native.bulk || [], BULK = native.bulkBytes;
var stringify = JSON.stringify, toText = String, ErrorClass = Error, keys = Object.keys;
var defineProperty = Object.defineProperty, freeze = Object.freeze, create = Object.create;
var getOwnDescriptor = Object.getOwnPropertyDescriptor, getPrototype = Object.getPrototypeOf;
var apply = Reflect.apply, isArray = Array.isArray, ArrayClass = Array, join = Array.prototype.join;
var fromCharCode = String.fromCharCode, charCodeAt = String.prototype.charCodeAt;
var objectToString = Object.prototype.toString;
var U8 = Uint8Array, AB = ArrayBuffer, isView = AB.isView;
var abByteLength = getOwnDescriptor(AB.prototype, 'byteLength').get;
var TA = getPrototype(U8.prototype);
var taBuffer = getOwnDescriptor(TA, 'buffer').get, taOffset = getOwnDescriptor(TA, 'byteOffset').get,
    taLength = getOwnDescriptor(TA, 'byteLength').get, taSet = TA.set, subarray = TA.subarray;
var dvBuffer = getOwnDescriptor(DataView.prototype, 'buffer').get, dvOffset = getOwnDescriptor(DataView.prototype, 'byteOffset').get,
    dvLength = getOwnDescriptor(DataView.prototype, 'byteLength').get;
var toBase64 = U8.prototype.toBase64, setFromBase64 = U8.prototype.setFromBase64;
var btoa64 = window.btoa.bind(window);
var encoder = typeof TextEncoder === 'function' ? new TextEncoder() : null, encodeInto = encoder && TextEncoder.prototype.encodeInto;
var utf8 = typeof TextDecoder === 'function' ? new TextDecoder('utf-8', {fatal: true, ignoreBOM: true}) : null,
    decode = utf8 && TextDecoder.prototype.decode;
var strict = freeze(create(null, {lastChunkHandling: {value: 'strict', enumerable: true}}));
var listen = window.addEventListener.bind(window);
var later = window.setTimeout.bind(window);
var reportError = typeof window.reportError === 'function' ? window.reportError.bind(window)
                                                           : function(e){ later(function(){ throw e; }, 0); };
listen('load', function(){
  try{webhost.require('webhost/channel').onNativeReady.fire();}catch(e){window._nativeReady = true;}
});
function text(m){
  if (typeof m === 'string') return m;
  if (m === undefined) return 'undefined';
  if (m instanceof ErrorClass) return toText(m);
  try { var j = stringify(m); return j === undefined ? toText(m) : j; } catch (e) { return toText(m); }
}

// Bytes of an array buffer or a view (typed array or data view), as a Uint8Array.
function viewBytes(v){
  try { return new U8(apply(taBuffer, v, []), apply(taOffset, v, []), apply(taLength, v, [])); }
  catch (e) { return new U8(apply(dvBuffer, v, []), apply(dvOffset, v, []), apply(dvLength, v, [])); }
}
function isBuffer(v){
  if (v instanceof AB) return true;
  if (isArray(v) || apply(objectToString, v, []) !== '[object ArrayBuffer]') return false;
  try { apply(abByteLength, v, []); return true; } catch (e) { return false; }
}
function binaryString(u8){
  var parts = [], CH = 0x2000;
  for (var i = 0; i < u8.length; i += CH) parts[parts.length] = apply(fromCharCode, null, apply(subarray, u8, [i, i + CH]));
  return apply(join, parts, ['']);
}
function base64Of(u8){
  return toBase64 ? apply(toBase64, u8, []) : btoa64(binaryString(u8));
}
// Bytes that a library passes as they are go as the array-buffer object, as its own would.
function replacer(key, value){
  if (typeof value !== 'object' || value === null) return value;
  if (isView(value)) return {WHType: 'ArrayBuffer', data: base64Of(viewBytes(value))};
  if (isBuffer(value)) return {WHType: 'ArrayBuffer', data: base64Of(new U8(value))};
  return value;
}

// Argument positions whose bytes stay in this process for the native side to fetch.
var bulkActions = create(null);
for (var k = 0; k < bulkSlots.length; k++) bulkActions[bulkSlots[k][1]] = true;
function lowerAscii(t){
  var out = '';
  for (var i = 0; i < t.length; i++) {
    var c = apply(charCodeAt, t, [i]);
    out += c >= 65 && c <= 90 ? fromCharCode(c + 32) : t[i];
  }
  return out;
}
function slotOf(service, action){
  if (typeof service !== 'string' || typeof action !== 'string' || !bulkActions[action]) return -1;
  var lower = lowerAscii(service);
  for (var i = 0; i < bulkSlots.length; i++) {
    if (bulkSlots[i][0] === lower && bulkSlots[i][1] === action) return bulkSlots[i][2];
  }
  return -1;
}
// What a value holds that is bytes (a text, raw bytes, the array-buffer object with strict Base64),
// read once; null for anything else or fewer bytes than go apart.
function bulkOf(v){
  if (typeof v === 'string') return encoder && v.length >= BULK ? {kind: 'text', source: v, size: v.length * 3, likely: v.length} : null;
  if (typeof v !== 'object' || v === null) return null;
  if (isView(v) || isBuffer(v)) {
    var u = isView(v) ? viewBytes(v) : new U8(v);
    return u.length >= BULK ? {kind: 'bytes', source: u, size: u.length} : null;
  }
  var type = v.WHType, data = v.data;
  if (type !== 'ArrayBuffer' || typeof data !== 'string' || data.length % 4 || !setFromBase64) return null;
  var pad = data.length && data[data.length - 1] === '=' ? (data[data.length - 2] === '=' ? 2 : 1) : 0;
  var size = data.length / 4 * 3 - pad;
  return size >= BULK ? {kind: 'base64', source: data, size: size} : null;
}
// The bytes into the buffer; their count, or -1 when they are not what they claimed.
function fill(d, buffer){
  var target = new U8(buffer, 0, d.size);
  if (d.kind === 'bytes') { apply(taSet, target, [d.source]); return d.size; }
  var r;
  if (d.kind === 'base64') {
    r = apply(setFromBase64, target, [d.source, strict]);
    return r.read === d.source.length && r.written === d.size ? d.size : -1;
  }
  r = apply(encodeInto, encoder, [d.source, target]);
  return r.read === d.source.length ? r.written : -1;
}
function copyWithNull(list, index){
  var copy = new ArrayClass(list.length);
  for (var i = 0; i < list.length; i++) {
    defineProperty(copy, i, {value: i === index ? null : list[i], writable: true, enumerable: true, configurable: true});
  }
  return copy;
}

var bridge = {};
defineProperty(bridge, 'exec', {value: function(callbackId, service, action, args){
  var list = args, heldIndex = -1, heldSize = 0;
  if (isArray(args)) {
    var index = slotOf(service, action);
    if (index >= 0 && index < args.length) {
      var d = null;
      try { d = bulkOf(args[index]); } catch (e) {}
      var buffer = d && nativeAllocate(d.size, d.likely || d.size);
      if (buffer) {
        var n = -1;
        try { n = fill(d, buffer); } catch (e) {}
        if (n >= 0) {
          heldIndex = index;
          heldSize = n;
          list = copyWithNull(args, index);
        }
      }
    }
  }
  var json;
  if (isArray(list)) {
    // Only objects may be or hold raw bytes.
    var objects = false;
    for (var i = 0; i < list.length && !objects; i++) objects = typeof list[i] === 'object' && list[i] !== null;
    try { json = objects ? stringify(list, replacer) : stringify(list); }
    catch (e) { nativeExec(callbackId, service, action, null, -1, 0, true); return; }
  }
  nativeExec(callbackId, service, action, json, heldIndex, heldSize);
}});
defineProperty(window, 'webhostbridge', {value: freeze(bridge), configurable: false, writable: false});
window.WebhostBridgeUtil = { getDictionaryKeys: function(obj){ return keys(obj); } };
listen('error', function(e){ nativeError(e.filename || '', e.lineno || 0, e.message || ''); });

// Results from native code, in order: [[callbackId, status, message, keep], ...]. A callback that
// throws does not stop the ones after it; its error goes to the page's error handling.
function results(list){
  for (var i = 0; i < list.length; i++) {
    var r = list[i];
    try { webhost.require('webhost/exec').nativeCallback(r[0], r[1], r[2], r[3]); } catch (e) { reportError(e); }
  }
}
// One result whose message is made here from bytes that came outside the messages.
function bytes(callbackId, status, keep, form, mime, badStatus, badMessage, buffer, length){
  var u8 = new U8(buffer, 0, length), message;
  try {
    if (form === 'arraybuffer') message = {WHType: 'ArrayBuffer', data: base64Of(u8)};
    else if (form === 'base64') message = base64Of(u8);
    else if (form === 'dataurl') message = 'data:' + mime + ';base64,' + base64Of(u8);
    else if (form === 'text' && utf8) message = apply(decode, utf8, [u8]);
    else if (form === 'binarystring') message = binaryString(u8);
    else throw form;
  } catch (e) {
    status = badStatus;
    message = badMessage;
  }
  if (buffer) nativeRelease(buffer);
  results([[callbackId, status, message, keep]]);
}
defineProperty(results, 'bytes', {value: bytes});
defineProperty(window, native.resultsFunction, {value: results, configurable: false, writable: false});
if (native.publishConsole) {
  var con = {};
  ['log','trace','debug','info','warn','error'].forEach(function(op){
    con[op] = function(m){ nativeConsole(op, text(m)); };
  });
  window.console = con;
}
})
