// Drives the endpoint with node-opcua-client: connect, browse from Objects down to
// PLC1/WR/.../WR0010, read, write, subscribe, status changes, bad input, disconnect.
// Usage: node client.test.js <path to ua_test_server>
"use strict";
const { spawn } = require("child_process");
const net = require("net");
const assert = require("assert");
const {
    OPCUAClient, MessageSecurityMode, SecurityPolicy, AttributeIds, DataType, StatusCodes,
    TimestampsToReturn, ClientSubscription, ClientMonitoredItem, makeBrowsePath,
} = require("node-opcua-client");

const serverPath = process.argv[2];
let passed = 0;
let failed = 0;
const deadline = setTimeout(() => {
    console.error("client.test.js: overall time limit reached");
    process.exit(2);
}, 100000);

function startServer() {
    const child = spawn(serverPath, ["0", "90"], { stdio: ["pipe", "pipe", "inherit"] });
    const lines = [];
    const waiters = [];
    let buffer = "";
    child.stdout.on("data", (chunk) => {
        buffer += chunk.toString();
        let eol;
        while ((eol = buffer.indexOf("\n")) >= 0) {
            const line = buffer.slice(0, eol);
            buffer = buffer.slice(eol + 1);
            lines.push(line);
            for (const w of [...waiters]) {
                if (w.re.test(line)) {
                    waiters.splice(waiters.indexOf(w), 1);
                    w.resolve(line);
                }
            }
        }
    });
    const waitFor = (re, ms = 10000) => new Promise((resolve, reject) => {
        const found = lines.find((l) => re.test(l));
        if (found) return resolve(found);
        const w = { re, resolve };
        waiters.push(w);
        setTimeout(() => reject(new Error("timed out waiting for " + re)), ms);
    });
    const send = (command) => child.stdin.write(command + "\n");
    return { child, lines, waitFor, send };
}

async function check(name, fn) {
    try {
        await fn();
        passed++;
        console.log("ok   " + name);
    } catch (err) {
        failed++;
        console.log("FAIL " + name + ": " + (err && err.stack ? err.stack : err));
    }
}

function waitForValue(item, predicate, ms = 5000) {
    return new Promise((resolve, reject) => {
        const timer = setTimeout(() => reject(new Error("no matching notification")), ms);
        const onChange = (dv) => {
            if (predicate(dv)) {
                clearTimeout(timer);
                item.removeListener("changed", onChange);
                resolve(dv);
            }
        };
        item.on("changed", onChange);
    });
}

// Sends raw bytes and returns what the server answers before it closes the connection.
function rawExchange(port, bytes) {
    return new Promise((resolve, reject) => {
        const socket = net.connect(port, "127.0.0.1");
        const received = [];
        const timer = setTimeout(() => { socket.destroy(); reject(new Error("connection not closed")); }, 5000);
        socket.on("connect", () => socket.write(bytes));
        socket.on("data", (d) => received.push(d));
        socket.on("error", () => {});
        socket.on("close", () => { clearTimeout(timer); resolve(Buffer.concat(received)); });
    });
}

function hello(receiveBuffer) {
    const url = Buffer.from("opc.tcp://127.0.0.1");
    const b = Buffer.alloc(32 + url.length);
    b.write("HELF", 0);
    b.writeUInt32LE(b.length, 4);
    b.writeUInt32LE(0, 8);
    b.writeUInt32LE(receiveBuffer, 12);
    b.writeUInt32LE(receiveBuffer, 16);
    b.writeUInt32LE(0, 20);
    b.writeUInt32LE(0, 24);
    b.writeInt32LE(url.length, 28);
    url.copy(b, 32);
    return b;
}

async function main() {
    const server = startServer();
    const portLine = await server.waitFor(/^PORT \d+/);
    const port = Number(portLine.split(" ")[1]);
    const url = `opc.tcp://127.0.0.1:${port}`;

    const client = OPCUAClient.create({
        applicationName: "DravonUaTest",
        endpointMustExist: false,
        securityMode: MessageSecurityMode.None,
        securityPolicy: SecurityPolicy.None,
        connectionStrategy: { maxRetry: 0, initialDelay: 100, maxDelay: 200 },
        requestedSessionTimeout: 10000,
    });
    await client.connect(url);
    const session = await client.createSession();
    const wr0010 = "ns=1;s=PLC1.WR0010";

    await check("endpoints offer security None with anonymous access", async () => {
        const endpoints = await client.getEndpoints();
        assert.strictEqual(endpoints.length, 1);
        assert.strictEqual(endpoints[0].securityPolicyUri, SecurityPolicy.None);
        assert.strictEqual(endpoints[0].userIdentityTokens[0].policyId, "anonymous");
    });

    await check("browse from Objects down to WR0010", async () => {
        let nodeId = "ns=0;i=85";
        for (const name of ["PLC1", "WR", "WR0xxx", "WR00xx", "WR001x", "WR0010"]) {
            const result = await session.browse(nodeId);
            assert.ok(result.statusCode.isGood(), result.statusCode.toString());
            const ref = result.references.find((r) => r.browseName.name === name);
            assert.ok(ref, `${name} not below ${nodeId}: ` + result.references.map((r) => r.browseName.name).join(","));
            nodeId = ref.nodeId.toString();
        }
        assert.strictEqual(nodeId, wr0010);
    });

    await check("Objects also holds the standard Server object and Sys", async () => {
        const result = await session.browse("ns=0;i=85");
        const names = result.references.map((r) => r.browseName.name);
        assert.ok(names.includes("Server") && names.includes("Sys"), names.join(","));
    });

    await check("browse path resolves to the item ID", async () => {
        const result = await session.translateBrowsePath(
            makeBrowsePath("ns=0;i=85", "/1:PLC1/1:WR/1:WR0xxx/1:WR00xx/1:WR001x/1:WR0010"));
        assert.ok(result.statusCode.isGood(), result.statusCode.toString());
        assert.strictEqual(result.targets[0].targetId.toString(), wr0010);
    });

    await check("browse in pages with continuation points", async () => {
        session.requestedMaxReferencesPerNode = 5;
        const folder = "ns=1;s=/PLC1/WR/WR0xxx/WR00xx/WR001x";
        let result = await session.browse({ nodeId: folder, browseDirection: 0, includeSubtypes: true, resultMask: 63 });
        let names = result.references.map((r) => r.browseName.name);
        while (result.continuationPoint && result.continuationPoint.length) {
            result = await session.browseNext(result.continuationPoint, false);
            names = names.concat(result.references.map((r) => r.browseName.name));
        }
        session.requestedMaxReferencesPerNode = 0;
        assert.ok(names.includes("WR0010") && names.includes("WR001F") && names.includes("WR0010s"), names.join(","));
    });

    await check("read value, data type and server status", async () => {
        const [value, dataType, state, upTime] = await session.read([
            { nodeId: wr0010, attributeId: AttributeIds.Value },
            { nodeId: wr0010, attributeId: AttributeIds.DataType },
            { nodeId: "ns=0;i=2259", attributeId: AttributeIds.Value },
            { nodeId: "ns=1;s=Sys.ServerUpTime", attributeId: AttributeIds.Value },
        ]);
        assert.ok(value.statusCode.isGood(), value.statusCode.toString());
        assert.strictEqual(value.value.dataType, DataType.UInt16);
        assert.strictEqual(value.value.value, 0);
        assert.strictEqual(dataType.value.value.toString(), "ns=0;i=5");
        assert.strictEqual(state.value.value, 0);
        assert.strictEqual(upTime.value.value, "0:00:05");
        const status = await session.read({ nodeId: "ns=0;i=2256", attributeId: AttributeIds.Value });
        assert.strictEqual(status.value.value.buildInfo.productUri, "urn:Norvane:Dravon");
    });

    await check("device read (maxAge 0) answers", async () => {
        const dv = await session.read({ nodeId: wr0010, attributeId: AttributeIds.Value }, 0);
        assert.ok(dv.statusCode.isGood(), dv.statusCode.toString());
    });

    await check("an unknown item ID is Bad_NodeIdUnknown", async () => {
        const dv = await session.read({ nodeId: "ns=1;s=PLC9.WR0010", attributeId: AttributeIds.Value });
        assert.strictEqual(dv.statusCode.value, StatusCodes.BadNodeIdUnknown.value);
    });

    await check("write reaches the backend", async () => {
        const status = await session.write({
            nodeId: wr0010, attributeId: AttributeIds.Value,
            value: { value: { dataType: DataType.UInt16, value: 1234 } },
        });
        assert.ok(status.isGood(), status.toString());
        server.send("get PLC1.WR0010");
        await server.waitFor(/^VALUE PLC1\.WR0010 1234$/);
    });

    await check("writes that cannot be stored are refused", async () => {
        const [mismatch, readOnly, range] = await session.write([
            { nodeId: wr0010, attributeId: AttributeIds.Value, value: { value: { dataType: DataType.String, value: "abc" } } },
            { nodeId: "ns=1;s=Sys.ServerUpTime", attributeId: AttributeIds.Value, value: { value: { dataType: DataType.String, value: "x" } } },
            { nodeId: wr0010, attributeId: AttributeIds.Value, value: { value: { dataType: DataType.Int32, value: 70000 } } },
        ]);
        assert.strictEqual(mismatch.value, StatusCodes.BadTypeMismatch.value);
        assert.strictEqual(readOnly.value, StatusCodes.BadNotWritable.value);
        assert.strictEqual(range.value, StatusCodes.BadTypeMismatch.value);
    });

    await check("subscription delivers changes and status", async () => {
        const subscription = ClientSubscription.create(session, {
            requestedPublishingInterval: 100, requestedLifetimeCount: 600, requestedMaxKeepAliveCount: 10,
            maxNotificationsPerPublish: 1000, publishingEnabled: true, priority: 1,
        });
        await new Promise((resolve) => subscription.once("started", resolve));
        assert.strictEqual(subscription.publishingInterval, 100);
        const item = ClientMonitoredItem.create(subscription, { nodeId: wr0010, attributeId: AttributeIds.Value },
            { samplingInterval: 100, queueSize: 1, discardOldest: true }, TimestampsToReturn.Both);
        await waitForValue(item, (dv) => dv.value.value === 1234);
        server.send("set PLC1.WR0010 77");
        await waitForValue(item, (dv) => dv.value.value === 77);
        server.send("status PLC1.WR0010 80310000");
        const bad = await waitForValue(item, (dv) => !dv.statusCode.isGood());
        assert.strictEqual(bad.statusCode.value, StatusCodes.BadNoCommunication.value);
        await subscription.terminate();
    });

    await check("malformed input gets an Error message and the connection closes", async () => {
        const garbage = await rawExchange(port, Buffer.from("XYZF\x10\x00\x00\x00garbage!"));
        assert.strictEqual(garbage.slice(0, 4).toString(), "ERRF");
        assert.strictEqual(garbage.readUInt32LE(8), StatusCodes.BadTcpMessageTypeInvalid.value);
        const big = Buffer.alloc(16);
        big.write("HELF", 0);
        big.writeUInt32LE(10 * 1024 * 1024, 4);
        const tooLarge = await rawExchange(port, big);
        assert.strictEqual(tooLarge.readUInt32LE(8), StatusCodes.BadTcpMessageTooLarge.value);
        const small = await rawExchange(port, hello(1024));
        assert.strictEqual(small.slice(0, 4).toString(), "ERRF");
    });

    await check("disconnect frees the session and logs it", async () => {
        await session.close();
        await client.disconnect();
        await server.waitFor(/^LOG Client .+ disconnected at /);
    });

    server.send("quit");
    await new Promise((resolve) => server.child.on("exit", resolve));
    clearTimeout(deadline);
    console.log(`${passed} passed, ${failed} failed`);
    process.exit(failed === 0 && passed > 0 ? 0 : 1);
}

main().catch((err) => {
    console.error(err);
    console.log(`${passed} passed, ${failed + 1} failed`);
    process.exit(1);
});
