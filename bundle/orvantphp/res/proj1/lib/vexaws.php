<?php
// The WebSocket side of the process protocol, for the sample's long-lived
// applications.
//
// The server starts one process per connection and ctrl (or one shared
// process once the application has made itself global). The message that
// started it is "postdata" of the start data; every later message arrives on
// standard input as one line
//   {"id":"1","msg":"","type":"c","cpdata":"<hex of the inner JSON>"}
// whose inner JSON is a browser message ({"ctrl", "bdata", ...}) or an event
// ({"evt", "evtp", "type":"s", "bdata"}: "quit", "wsdiscon",
// "onprocesscreate", "cquit"). Lines that the application's own child
// process prints arrive unwrapped. Replies are envelopes on standard output
// whose content is a list of items, each followed by ",".

declare(strict_types=1);

require_once __DIR__ . '/vexa.php';

final class VexaWsApp
{
    public VexaRequest $req;
    /** The message that started the application. */
    public array $first;

    public function __construct(VexaRequest $req)
    {
        $this->req = $req;
        $this->first = $req->post;
    }

    // Whether this run is a WebSocket application (the upgrade request
    // carries the connection id), not a page request.
    public static function isWebSocket(VexaRequest $req): bool
    {
        return $req->server('HTTP_HTWS_VEXA') !== '';
    }

    public function conid(): string
    {
        return $this->req->server('HTTP_HTWS_VEXA');
    }

    // Reads standard input until it ends or a handler returns false.
    // $onMessage(array $message, string $rawLine), $onEvent(array $event),
    // $onLine(string $childLine).
    public function run(callable $onMessage, ?callable $onEvent = null, ?callable $onLine = null): void
    {
        while (($line = fgets(STDIN)) !== false) {
            $line = rtrim($line, "\r\n");
            if ($line === '') {
                continue;
            }
            $outer = json_decode($line, true);
            $inner = null;
            if (is_array($outer) && isset($outer['cpdata']) && is_string($outer['cpdata'])
                && strlen($outer['cpdata']) % 2 === 0 && ctype_xdigit($outer['cpdata'])) {
                $inner = json_decode((string) hex2bin($outer['cpdata']), true);
            }
            if (!is_array($inner)) {
                $keep = $onLine ? $onLine($line) : true;
            } elseif (($inner['type'] ?? '') === 's' && isset($inner['evt'])) {
                $keep = $onEvent ? $onEvent($inner) : ($inner['evt'] !== 'quit');
            } else {
                $keep = $onMessage($inner, $line);
            }
            if ($keep === false) {
                break;
            }
        }
    }

    // One reply: every item followed by ",".
    public function send(array ...$items): void
    {
        $text = '';
        foreach ($items as $item) {
            $text .= json_encode($item, JSON_UNESCAPED_SLASHES | JSON_UNESCAPED_UNICODE) . ',';
        }
        $envelope = ['headers' => new stdClass(), 'cookies' => new stdClass(),
                     'content' => strtoupper(bin2hex($text))];
        fwrite(STDOUT, json_encode($envelope) . "\n");
        fflush(STDOUT);
    }

    // An item for the browser.
    public static function web(array $data): array
    {
        return ['response' => ['type' => 'jsonweb', 'data' => $data]];
    }

    // An item of IPC commands for the server: [['aname' => ..., 'data' => [...]], ...].
    public static function ipc(array $commands): array
    {
        return ['response' => ['type' => 'server', 'ipc' => ['fun' => $commands]]];
    }

    // An item for the application's own child process.
    public static function child(array $data): array
    {
        return ['response' => ['type' => 'childp', 'data' => $data]];
    }

    // "sendall": $type 1 members of global $group, 2 every connection,
    // 3 connection $conid only, 4 connections using $group; 1, 2 and 4 leave
    // out connection $conid.
    public static function sendall(int $type, string $group, int $conid, string $raw): array
    {
        return ['aname' => 'sendall', 'data' => ['sendtype' => $type, 'groupctrl' => $group,
                'datatype' => 'text', 'conid' => $conid, 'rawdata' => $raw]];
    }

    // The answer of a WebSocket application to a plain page request.
    public static function notAPage(VexaReply $reply, string $name): void
    {
        $reply->send(vexa_layout($name, '<p><code>' . vexa_h($name)
            . '</code> is a WebSocket application: the start page talks to it.</p>'));
    }
}
