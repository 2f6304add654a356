// A user's file, type-checked as `tsc --strict use.ts` checks it in a project of
// their own: no tsconfig, TypeScript's default target and library, no @types/node.
import { connect, getNodes, Meter, MeterLevel } from 'quorvane';

connect().then((graph) => {
  for (const n of graph.nodes()) console.log(n.id, n.name, n.props['media.class']);
  const meter: Meter = graph.meter(getNodes()[0].id);
  const levels: AsyncIterable<MeterLevel> = meter;
  console.log(levels);
  return graph.close();
});
