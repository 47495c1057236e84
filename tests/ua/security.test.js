// Secured channels with node-opcua-client: an untrusted client certificate refused and
// found in the rejected folder, then trusted by moving it; every policy in Sign and
// SignAndEncrypt; anonymous and user names (read-only users may not write, a wrong
// password is refused late); a subscription across a token renewal under encryption; a
// flipped byte in an encrypted chunk (through a proxy in the test) closing the channel.
// The endpoint list itself is compared literally by the C++ security tests.
// Usage: node security.test.js <path to ua_test_server>
"use strict";
const { serve, check, until, waitForValue, overallLimit, finish, crashed } = require("../support/e2e");
const fs = require("fs");
const net = require("net");
const os = require("os");
const path = require("path");
const assert = require("assert");
const {
    OPCUAClient, MessageSecurityMode, SecurityPolicy, AttributeIds, DataType, StatusCodes, UserTokenType,
    TimestampsToReturn, ClientSubscription, ClientMonitoredItem,
} = require("node-opcua-client");
const { OPCUACertificateManager } = require("node-opcua-certificate-manager");

const serverPath = process.argv[2];
const deadline = overallLimit("security.test.js", 110000);

const home = fs.mkdtempSync(path.join(os.tmpdir(), "dravon-ua-security-"));
const pki = path.join(home, "pki");

async function main() {
    const server = serve(serverPath, ["0", "100", home]);
    const port = Number((await server.waitFor(/^PORT \d+/)).split(" ")[1]);
    const url = `opc.tcp://127.0.0.1:${port}`;
    await server.waitFor(/^OPC UA application certificate created, thumbprint [0-9a-f]{40}$/);
    server.send("user viewer read-only look");
    server.send("user engineer read-write change");

    const certificateManager = new OPCUACertificateManager({
        rootFolder: path.join(home, "client-pki"), automaticallyAcceptUnknownCertificate: true,
    });
    await certificateManager.initialize();
    const wr0010 = "ns=1;s=PLC1.WR0010";
    const makeClient = (securityPolicy, securityMode, extra = {}) => OPCUAClient.create({
        applicationName: "DravonSecurityTest", applicationUri: "urn:DravonSecurityTest", endpointMustExist: false,
        securityMode, securityPolicy, clientCertificateManager: certificateManager,
        connectionStrategy: { maxRetry: 0, initialDelay: 100, maxDelay: 200 }, requestedSessionTimeout: 10000, ...extra,
    });
    // A Basic256Sha256 SignAndEncrypt client that opens a session at `at`, reads WR0010 and ends.
    const readsOver = async (at) => {
        const client = makeClient(SecurityPolicy.Basic256Sha256, MessageSecurityMode.SignAndEncrypt);
        await client.connect(at);
        const session = await client.createSession();
        assert.ok((await session.read({ nodeId: wr0010, attributeId: AttributeIds.Value })).statusCode.isGood());
        await session.close();
        await client.disconnect();
    };
    const write = (session, value) => session.write({
        nodeId: wr0010, attributeId: AttributeIds.Value,
        value: { value: { dataType: DataType.UInt16, value } },
    });

    await check("an untrusted client certificate is refused, kept in rejected, and accepted once moved", async () => {
        const client = makeClient(SecurityPolicy.Basic256Sha256, MessageSecurityMode.SignAndEncrypt);
        await assert.rejects(async () => {
            await client.connect(url);
            await client.createSession();
        });
        await client.disconnect();
        await server.waitFor(/^OPC UA error Bad_CertificateUntrusted sent to /);
        const rejected = fs.readdirSync(path.join(pki, "rejected/certs"));
        assert.strictEqual(rejected.length, 1);
        fs.renameSync(path.join(pki, "rejected/certs", rejected[0]), path.join(pki, "trusted/certs", rejected[0]));
        await readsOver(url);
    });

    const policies = ["Basic256Sha256", "Aes128_Sha256_RsaOaep", "Aes256_Sha256_RsaPss"];
    const modes = ["Sign", "SignAndEncrypt"];
    for (const policy of policies) {
        for (const mode of modes) {
            await check(`${policy} ${mode}: anonymous read and write, user names with their roles`, async () => {
                const client = makeClient(SecurityPolicy[policy], MessageSecurityMode[mode]);
                await client.connect(url);
                const anonymous = await client.createSession();
                assert.strictEqual((await write(anonymous, 41)).value, StatusCodes.Good.value);
                const read = await anonymous.read({ nodeId: wr0010, attributeId: AttributeIds.Value });
                assert.ok(read.statusCode.isGood());
                await anonymous.close();
                const viewer = await client.createSession({ type: UserTokenType.UserName, userName: "viewer", password: "look" });
                assert.ok((await viewer.read({ nodeId: wr0010, attributeId: AttributeIds.Value })).statusCode.isGood());
                assert.strictEqual((await write(viewer, 42)).value, StatusCodes.BadUserAccessDenied.value);
                await viewer.close();
                const engineer = await client.createSession({ type: UserTokenType.UserName, userName: "engineer", password: "change" });
                assert.strictEqual((await write(engineer, 43)).value, StatusCodes.Good.value);
                await engineer.close();
                await client.disconnect();
            });
        }
    }

    await check("with None off, a secured client still finds the endpoint over None", async () => {
        const secure = serve(serverPath, ["0", "30", home, "secure-only"]);
        await readsOver(`opc.tcp://127.0.0.1:${(await secure.waitFor(/^PORT \d+/)).split(" ")[1]}`);
        secure.send("quit");
    });

    await check("a wrong password is refused and logged; a user added while running logs in at once", async () => {
        const client = makeClient(SecurityPolicy.None, MessageSecurityMode.None);
        await client.connect(url);
        const started = Date.now();
        // A name longer than any stored one reaches the log cut to 64 characters.
        const longName = "engineer" + "x".repeat(70);
        await assert.rejects(
            client.createSession({ type: UserTokenType.UserName, userName: longName, password: "guess" }),
            (err) => /BadUserAccessDenied/.test(String(err)));
        assert.ok(Date.now() - started >= 900, "answered after the delay");
        server.send("user late read-only later");
        await server.waitFor(/^USER late$/);
        assert.strictEqual(fs.statSync(path.join(home, "opcua.users")).mode & 0o777, 0o600);
        const late = await client.createSession({ type: UserTokenType.UserName, userName: "late", password: "later" });
        await late.close();
        await client.disconnect();
        await server.waitFor(new RegExp(`^OPC UA user "${longName.slice(0, 64)}" from .* refused: wrong user name or password`));
    });

    await check("a subscription keeps delivering across a token renewal under encryption", async () => {
        const client = makeClient(SecurityPolicy.Aes256_Sha256_RsaPss, MessageSecurityMode.SignAndEncrypt,
            { defaultSecureTokenLifetime: 10000 });
        let renewed = 0;
        client.on("security_token_renewed", () => renewed++);
        await client.connect(url);
        const session = await client.createSession({ type: UserTokenType.UserName, userName: "engineer", password: "change" });
        const subscription = ClientSubscription.create(session, {
            requestedPublishingInterval: 100, requestedLifetimeCount: 600, requestedMaxKeepAliveCount: 10,
            publishingEnabled: true,
        });
        const item = ClientMonitoredItem.create(subscription, { nodeId: wr0010, attributeId: AttributeIds.Value },
            { samplingInterval: 100, queueSize: 1 }, TimestampsToReturn.Both);
        server.send("set PLC1.WR0010 1001");
        await waitForValue(item, (dv) => dv.value.value === 1001);
        await until(() => renewed > 0, 20000, "token renewed");
        // Another user's session, or an anonymous one, may not take the subscription over.
        for (const identity of [{ type: UserTokenType.UserName, userName: "viewer", password: "look" }, undefined]) {
            const other = await client.createSession(identity);
            const taken = await other.transferSubscriptions({ subscriptionIds: [subscription.subscriptionId] });
            assert.strictEqual(taken.results[0].statusCode.value, StatusCodes.BadUserAccessDenied.value);
            await other.close();
        }
        await server.waitFor(/^OPC UA subscription \d+ for .* refused: Bad_UserAccessDenied \(held by another user\)$/);
        server.send("set PLC1.WR0010 1002");
        await waitForValue(item, (dv) => dv.value.value === 1002);
        assert.strictEqual((await write(session, 1003)).value, StatusCodes.Good.value);
        await subscription.terminate();
        await session.close();
        await client.disconnect();
    });

    await check("a flipped byte in an encrypted chunk closes the channel; other clients go on", async () => {
        // Between client and server: after a secured OpenSecureChannel, one byte of the
        // client's first MSG chunk is flipped; everything else passes.
        let secured = false;
        let flipped = false;
        let closedByServer = false;
        const proxy = net.createServer((inbound) => {
            const outbound = net.connect(port, "127.0.0.1");
            let pending = Buffer.alloc(0);
            inbound.on("data", (data) => {
                pending = Buffer.concat([pending, data]);
                while (pending.length >= 8 && pending.length >= pending.readUInt32LE(4)) {
                    const chunk = Buffer.from(pending.subarray(0, pending.readUInt32LE(4)));
                    pending = pending.subarray(chunk.length);
                    const type = chunk.toString("latin1", 0, 3);
                    if (type === "OPN") secured = !chunk.toString("latin1", 16, 16 + chunk.readInt32LE(12)).endsWith("#None");
                    if (type === "MSG" && secured && !flipped) {
                        chunk[chunk.length - 40] ^= 0x01;
                        flipped = true;
                    }
                    outbound.write(chunk);
                }
            });
            outbound.on("data", (data) => inbound.write(data));
            outbound.on("end", () => { if (flipped) closedByServer = true; });
            for (const [a, b] of [[inbound, outbound], [outbound, inbound]])
                for (const end of ["close", "error"]) a.on(end, () => b.destroy());
        });
        await new Promise((resolve) => proxy.listen(0, "127.0.0.1", resolve));
        const client = makeClient(SecurityPolicy.Basic256Sha256, MessageSecurityMode.SignAndEncrypt);
        try {
            const from = server.lines.length;
            const connect = async () => {
                await client.connect(`opc.tcp://127.0.0.1:${proxy.address().port}`);
                await client.createSession();
            };
            await assert.rejects(Promise.race([connect(), new Promise((resolve) => setTimeout(resolve, 10000))]));
            assert.ok(flipped);
            await server.waitFor(/^OPC UA error Bad_SecurityChecksFailed sent to 127\.0\.0\.1/, 10000, from);
            await until(() => closedByServer, 5000, "the server closes the connection");
        } finally {
            await client.disconnect();
            proxy.close();
        }
        await readsOver(url);
    });

    server.send("quit");
    await new Promise((resolve) => server.child.on("exit", resolve));
    finish(deadline);
}

main().catch(crashed);
